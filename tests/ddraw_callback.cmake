# The software display's callbacks against the thread that feeds it pictures.
quorix_add_gtest(ddraw_callback_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/ddraw_callback_test.cpp
  LIBS quorix_ddraw
  LABELS ddraw)
