# Monitors and the software display: arithmetic, pictures and snapshots anywhere; the windowed
# cases draw on the Xvfb display that scripts/test exports as QUORIX_TEST_DISPLAY.
quorix_add_gtest(ddraw_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/ddraw_core.cpp
          ${CMAKE_CURRENT_LIST_DIR}/ddraw_surfaces.cpp
          ${CMAKE_CURRENT_LIST_DIR}/ddraw_window.cpp
  LIBS quorix_ddraw PkgConfig::XCB
  LABELS ddraw XSERVER)

# Two monitors on the Xvfb screen: a process of its own, as the monitor list is read once.
quorix_add_gtest(ddraw_monitor_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/ddraw_monitors.cpp
  LIBS quorix_ddraw PkgConfig::XCB
  LABELS ddraw XSERVER)
