# quorix-play: an X11 player (and headless snapshot runner) on the public API of the shared library.
add_executable(quorix-play ${CMAKE_CURRENT_LIST_DIR}/quorix_play.cpp)
target_compile_options(quorix-play PRIVATE ${QUORIX_WARNINGS})
target_link_libraries(quorix-play PRIVATE quorixsdk PkgConfig::X11XCB Threads::Threads)
