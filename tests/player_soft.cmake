# A host closing or freeing its port from inside a callback of the software display. That display
# is chosen for good by the process, so the suite has a process of its own.
quorix_add_gtest(player_soft_close
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/player_soft_close.cpp
  LIBS quorix_capture_support
  LABELS player)

# The CPU de-warp of the software display against the OpenGL renderer: ports of both kinds,
# chosen by the initialisation's QUORIX_CPU_DEWARP, in one process; one case draws on the test
# X server.
quorix_add_gtest(player_dewarp_soft
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/player_dewarp_soft.cpp
          ${CMAKE_CURRENT_LIST_DIR}/support/view_support.cpp
  LIBS quorix_capture_support PkgConfig::GL PkgConfig::EGL PkgConfig::X11XCB
  ENV QUORIX_CPU_DEWARP=1
  XSERVER
  LABELS player)
