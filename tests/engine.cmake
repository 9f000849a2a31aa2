# Media engine: routing, streams, frame pools and presentation timing.
quorix_add_gtest(engine_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/engine_input_test.cpp
          ${CMAKE_CURRENT_LIST_DIR}/engine_stream_test.cpp
          ${CMAKE_CURRENT_LIST_DIR}/engine_threads_test.cpp
  # quorix_platform uses pixel conversion from quorix_base without linking it; base after it.
  LIBS quorix_media quorix_platform quorix_base
  LABELS media)
