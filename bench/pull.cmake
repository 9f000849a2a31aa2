# A pulled RTSP camera through the public interface: server-to-pixels latency and the CPU of the
# pull against FFmpeg's command line, with GStreamer's RTSP server on 127.0.0.1.
add_executable(bench_pull ${CMAKE_CURRENT_LIST_DIR}/bench_pull.cpp
  ${PROJECT_SOURCE_DIR}/tests/support/rtsp_fixture.cpp
  ${PROJECT_SOURCE_DIR}/tests/support/media_encoder.cpp
  ${PROJECT_SOURCE_DIR}/tests/support/player_media.cpp
  ${PROJECT_SOURCE_DIR}/tests/support/container_builder.cpp)
target_include_directories(bench_pull PRIVATE ${PROJECT_SOURCE_DIR}/src ${PROJECT_SOURCE_DIR}/include
  ${PROJECT_SOURCE_DIR}/tests)
target_compile_options(bench_pull PRIVATE ${QUORIX_WARNINGS})
target_compile_definitions(bench_pull PRIVATE
  QUORIX_RTSP_SERVER_SCRIPT="${PROJECT_SOURCE_DIR}/tests/support/rtsp_server.py")
target_link_libraries(bench_pull PRIVATE quorixsdk PkgConfig::AVCODEC PkgConfig::AVUTIL
  PkgConfig::TURBOJPEG Threads::Threads)
# The program's own av_read_frame must be visible to the library.
set_target_properties(bench_pull PROPERTIES ENABLE_EXPORTS ON)
target_link_libraries(bench_pull PRIVATE PkgConfig::AVFORMAT ${CMAKE_DL_LIBS})
