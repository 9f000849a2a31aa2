# Media engine path (input -> fake decode -> present) per play mode: frames per second and heap
# allocations per frame after warm-up.
add_executable(bench_engine ${CMAKE_CURRENT_LIST_DIR}/bench_engine.cpp)
target_include_directories(bench_engine PRIVATE ${PROJECT_SOURCE_DIR}/src ${PROJECT_SOURCE_DIR}/include)
target_compile_options(bench_engine PRIVATE ${QUORIX_WARNINGS})
target_link_libraries(bench_engine PRIVATE quorix_media)
