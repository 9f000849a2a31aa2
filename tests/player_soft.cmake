# A host closing or freeing its port from inside a callback of the software display. That display
# is chosen for good by the process, so the suite has a process of its own.
quorix_add_gtest(player_soft_close
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/player_soft_close.cpp
  LIBS quorix_capture_support
  LABELS player)
