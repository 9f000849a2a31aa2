# quorix-info: prints what a media container file holds (header, extension records, index and
# a per-kind summary of its frame records).
add_executable(quorix-info ${CMAKE_CURRENT_LIST_DIR}/quorix_info.cpp)
# Like every tool it sees only the public headers: here the container layout.
target_include_directories(quorix-info PRIVATE ${PROJECT_SOURCE_DIR}/include)
target_compile_options(quorix-info PRIVATE ${QUORIX_WARNINGS})
