# quorix-play: an X11 player (and headless snapshot runner) on the public API of the shared library.
add_executable(quorix-play ${CMAKE_CURRENT_LIST_DIR}/quorix_play.cpp)
target_compile_options(quorix-play PRIVATE ${QUORIX_WARNINGS})
target_link_libraries(quorix-play PRIVATE quorixsdk PkgConfig::X11XCB PkgConfig::GL Threads::Threads)
if(QUORIX_SANITIZE MATCHES "address|leak")
  # Run by the tool tests: keeps the GL driver mapped for the leak check at exit, as the test
  # programs do (tests/sanitizers/keep_gl_driver.c).
  target_sources(quorix-play PRIVATE ${PROJECT_SOURCE_DIR}/tests/sanitizers/keep_gl_driver.c)
  target_link_libraries(quorix-play PRIVATE ${CMAKE_DL_LIBS})
  target_link_options(quorix-play PRIVATE "LINKER:--export-dynamic-symbol=dlclose")
endif()
