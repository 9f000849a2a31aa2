# Heap allocations per frame of the renderer input and of the wave output once warm.
add_executable(bench_alloc ${CMAKE_CURRENT_LIST_DIR}/bench_alloc.cpp)
target_include_directories(bench_alloc PRIVATE ${PROJECT_SOURCE_DIR}/src ${PROJECT_SOURCE_DIR}/include)
target_compile_options(bench_alloc PRIVATE ${QUORIX_WARNINGS})
target_link_libraries(bench_alloc PRIVATE quorix_panorama quorix_media quorix_platform quorix_base)
