# A port pulling a real RTSP server on 127.0.0.1 through the camera interface of libquorixsdk.so.
# The server is GStreamer's, run by Debian's /usr/bin/python3 (tests/support/rtsp_server.py).

add_library(quorix_rtsp_fixture STATIC ${CMAKE_CURRENT_LIST_DIR}/support/rtsp_fixture.cpp)
target_include_directories(quorix_rtsp_fixture PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_compile_options(quorix_rtsp_fixture PRIVATE ${QUORIX_WARNINGS})
target_compile_definitions(quorix_rtsp_fixture PRIVATE
  QUORIX_RTSP_SERVER_SCRIPT="${CMAKE_CURRENT_LIST_DIR}/support/rtsp_server.py")
target_link_libraries(quorix_rtsp_fixture PUBLIC quorix_test_media PkgConfig::AVCODEC PkgConfig::AVUTIL)

quorix_add_gtest(pull_rtsp
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/pull_rtsp.cpp
  LIBS quorixsdk quorix_rtsp_fixture
  LABELS pull)
