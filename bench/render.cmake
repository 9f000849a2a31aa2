# Panorama drawing speed: a 1920x1920 fisheye drawn headless as a 1920x960 360-degree panorama
# with a continuous read-back, beside libavfilter's v360 on the same pictures (prints rates,
# the ratio, and the rate of the full design mesh).
add_executable(bench_render ${CMAKE_CURRENT_LIST_DIR}/bench_render.cpp)
target_include_directories(bench_render PRIVATE ${PROJECT_SOURCE_DIR}/src ${PROJECT_SOURCE_DIR}/include)
target_compile_options(bench_render PRIVATE ${QUORIX_WARNINGS})
target_link_libraries(bench_render PRIVATE quorix_panorama PkgConfig::AVFILTER PkgConfig::AVUTIL)
