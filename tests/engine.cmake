# Media engine: routing, streams, frame pools and presentation timing.
quorix_add_gtest(engine_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/engine_input_test.cpp
          ${CMAKE_CURRENT_LIST_DIR}/engine_stream_test.cpp
          ${CMAKE_CURRENT_LIST_DIR}/engine_threads_test.cpp
  LIBS quorix_media
  LABELS media)
