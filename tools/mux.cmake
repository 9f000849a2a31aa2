# quorix-mux: converts what FFmpeg reads into a container file, or makes a demonstration recording.
# The conversion reads through the pull library, as a port pulling the same input does.
add_executable(quorix-mux ${CMAKE_CURRENT_LIST_DIR}/quorix_mux.cpp ${CMAKE_CURRENT_LIST_DIR}/mux_container.cpp)
target_include_directories(quorix-mux PRIVATE ${PROJECT_SOURCE_DIR}/include ${CMAKE_CURRENT_LIST_DIR})
target_compile_options(quorix-mux PRIVATE ${QUORIX_WARNINGS})
target_link_libraries(quorix-mux PRIVATE quorix_pull PkgConfig::AVFORMAT PkgConfig::AVCODEC
  PkgConfig::AVFILTER PkgConfig::AVUTIL)
