# Live latency through the public interface (the shared library): a pushed 1080p picture to its
# pixels in a snapshot callback, play modes 0 and 2.
add_executable(bench_live ${CMAKE_CURRENT_LIST_DIR}/bench_live.cpp
  ${PROJECT_SOURCE_DIR}/tests/support/media_encoder.cpp
  ${PROJECT_SOURCE_DIR}/tests/support/player_media.cpp
  ${PROJECT_SOURCE_DIR}/tests/support/container_builder.cpp)
target_include_directories(bench_live PRIVATE ${PROJECT_SOURCE_DIR}/src ${PROJECT_SOURCE_DIR}/include
  ${PROJECT_SOURCE_DIR}/tests)
target_compile_options(bench_live PRIVATE ${QUORIX_WARNINGS})
target_link_libraries(bench_live PRIVATE quorixsdk PkgConfig::AVCODEC PkgConfig::AVUTIL PkgConfig::TURBOJPEG Threads::Threads)
# The program's own avcodec_send_packet and avcodec_receive_frame must be visible to the library.
set_target_properties(bench_live PROPERTIES ENABLE_EXPORTS ON)
target_link_libraries(bench_live PRIVATE ${CMAKE_DL_LIBS})
