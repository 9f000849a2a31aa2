# Many live 1080p ports through the public interface (the shared library) against as many
# ffmpeg decodes of the same stream: CPU, resident memory, dropped pictures.
add_executable(bench_ports ${CMAKE_CURRENT_LIST_DIR}/bench_ports.cpp
  ${PROJECT_SOURCE_DIR}/tests/support/media_encoder.cpp
  ${PROJECT_SOURCE_DIR}/tests/support/player_media.cpp
  ${PROJECT_SOURCE_DIR}/tests/support/container_builder.cpp)
target_include_directories(bench_ports PRIVATE ${PROJECT_SOURCE_DIR}/src ${PROJECT_SOURCE_DIR}/include
  ${PROJECT_SOURCE_DIR}/tests)
target_compile_options(bench_ports PRIVATE ${QUORIX_WARNINGS})
target_link_libraries(bench_ports PRIVATE quorixsdk PkgConfig::AVCODEC PkgConfig::AVUTIL PkgConfig::TURBOJPEG Threads::Threads)
