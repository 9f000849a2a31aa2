# CPU time per picture of a port's whole path (file read, engine, decode, external-renderer copy)
# against raw libavcodec decoding of the same stream, in one run (prints both and the ratio).
add_executable(bench_player ${CMAKE_CURRENT_LIST_DIR}/bench_player.cpp
  ${PROJECT_SOURCE_DIR}/tests/support/media_encoder.cpp
  ${PROJECT_SOURCE_DIR}/tests/support/player_media.cpp
  ${PROJECT_SOURCE_DIR}/tests/support/container_builder.cpp)
target_include_directories(bench_player PRIVATE ${PROJECT_SOURCE_DIR}/src ${PROJECT_SOURCE_DIR}/include
  ${PROJECT_SOURCE_DIR}/tests)
target_compile_options(bench_player PRIVATE ${QUORIX_WARNINGS})
target_link_libraries(bench_player PRIVATE quorix_player quorix_media quorix_codec quorix_panorama
  quorix_platform quorix_base PkgConfig::AVCODEC PkgConfig::AVUTIL PkgConfig::TURBOJPEG)
