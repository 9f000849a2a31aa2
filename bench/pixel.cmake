# 4:2:0 to BGRX/BGR conversion speed against libyuv (prints rates and ratios).
add_executable(bench_pixel ${CMAKE_CURRENT_LIST_DIR}/bench_pixel.cpp)
target_include_directories(bench_pixel PRIVATE ${PROJECT_SOURCE_DIR}/src ${PROJECT_SOURCE_DIR}/include
  ${LIBYUV_INCLUDE_DIR})
target_compile_options(bench_pixel PRIVATE ${QUORIX_WARNINGS})
target_link_libraries(bench_pixel PRIVATE quorix_base ${LIBYUV_LIBRARY})
