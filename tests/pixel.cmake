# Pixel formats, the picture holder and the 4:2:0 converters of the base library.
quorix_add_gtest(pixel_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/pixel_test.cpp
  LIBS quorix_base
  LABELS base)
