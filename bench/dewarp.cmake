# CPU de-warping speed: fisheye panorama and PTZ views beside libavfilter's v360, the remap
# table rebuild, and the kernel beside memcpy (prints BENCH lines).
add_executable(bench_dewarp ${CMAKE_CURRENT_LIST_DIR}/bench_dewarp.cpp)
target_include_directories(bench_dewarp PRIVATE ${PROJECT_SOURCE_DIR}/src ${PROJECT_SOURCE_DIR}/include)
target_compile_options(bench_dewarp PRIVATE ${QUORIX_WARNINGS})
target_link_libraries(bench_dewarp PRIVATE quorix_dewarp PkgConfig::AVFILTER PkgConfig::AVUTIL)
