# Decoding speed of CDecFFmpeg against raw libavcodec with the same threading, and against raw
# libavcodec with frame threading (prints rates and ratios).
add_executable(bench_decode ${CMAKE_CURRENT_LIST_DIR}/bench_decode.cpp
  ${PROJECT_SOURCE_DIR}/tests/support/media_encoder.cpp)
target_include_directories(bench_decode PRIVATE ${PROJECT_SOURCE_DIR}/src ${PROJECT_SOURCE_DIR}/include
  ${PROJECT_SOURCE_DIR}/tests)
target_compile_options(bench_decode PRIVATE ${QUORIX_WARNINGS})
target_link_libraries(bench_decode PRIVATE quorix_codec quorix_base PkgConfig::AVCODEC PkgConfig::AVUTIL
  PkgConfig::TURBOJPEG)
