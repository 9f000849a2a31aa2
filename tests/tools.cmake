# The command-line tools run as programs: quorix-mux on media files written by the tests,
# quorix-play headless, and examples/host.c built against an installed tree.
if(TARGET quorix-mux AND TARGET quorix-play AND TARGET quorix-info)
  quorix_add_gtest(tools_tests
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/tools_mux_test.cpp ${CMAKE_CURRENT_LIST_DIR}/tools_play_test.cpp
            ${CMAKE_CURRENT_LIST_DIR}/tools_support.cpp
    LIBS PkgConfig::AVFORMAT PkgConfig::AVCODEC PkgConfig::AVUTIL
    LABELS tools
    ENV QUORIX_AUDIO_DEVICE=null)
  target_compile_definitions(tools_tests PRIVATE
    QUORIX_MUX_PATH="$<TARGET_FILE:quorix-mux>" QUORIX_PLAY_PATH="$<TARGET_FILE:quorix-play>"
    QUORIX_INFO_PATH="$<TARGET_FILE:quorix-info>")
  add_dependencies(tools_tests quorix-mux quorix-play quorix-info)

  # A sanitized library needs its runtime in the host too; under the leak checker the host also
  # keeps the GL driver mapped, as every test program does (sanitizers/keep_gl_driver.c).
  set(_tools_host_cflags "")
  set(_tools_host_source "")
  if(QUORIX_SANITIZE)
    set(_tools_host_cflags "-fsanitize=${QUORIX_SANITIZE}")
  endif()
  if(QUORIX_SANITIZE MATCHES "address|leak")
    set(_tools_host_source ${CMAKE_CURRENT_LIST_DIR}/sanitizers/keep_gl_driver.c)
  endif()
  add_test(NAME tools_install_host
    COMMAND ${CMAKE_CURRENT_LIST_DIR}/tools_install_host.sh ${CMAKE_BINARY_DIR} ${PROJECT_SOURCE_DIR}
            "${_tools_host_cflags}" "${_tools_host_source}")
  set_tests_properties(tools_install_host PROPERTIES LABELS tools TIMEOUT 300)
endif()

if(TARGET quorix-mux AND TARGET quorix-play)
  quorix_add_gtest(tools_window_tests
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/tools_window_test.cpp ${CMAKE_CURRENT_LIST_DIR}/tools_support.cpp
    LIBS PkgConfig::AVFORMAT PkgConfig::AVCODEC PkgConfig::AVUTIL PkgConfig::X11XCB
    LABELS tools
    ENV QUORIX_AUDIO_DEVICE=null
    XSERVER)
  target_compile_definitions(tools_window_tests PRIVATE
    QUORIX_MUX_PATH="$<TARGET_FILE:quorix-mux>" QUORIX_PLAY_PATH="$<TARGET_FILE:quorix-play>")
  add_dependencies(tools_window_tests quorix-mux quorix-play)
endif()
