# quorix-info: prints what a media container file holds (header, extension records, index and
# a per-kind summary of its frame records).
add_executable(quorix-info ${CMAKE_CURRENT_LIST_DIR}/quorix_info.cpp)
target_compile_options(quorix-info PRIVATE ${QUORIX_WARNINGS})
target_link_libraries(quorix-info PRIVATE quorix_base)
