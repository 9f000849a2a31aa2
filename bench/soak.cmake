# Long run of many ports under random control (scripts/soak): resident memory and open file
# descriptors sampled over time must stay flat. Never part of the test run. It plays into the
# external renderer double beside the library copy that the player suites build, so it needs
# the tests configured as well.
if(TARGET player_sdk_copy)
  add_executable(quorix_soak ${CMAKE_CURRENT_LIST_DIR}/soak.cpp
    ${PROJECT_SOURCE_DIR}/tests/support/player_media.cpp
    ${PROJECT_SOURCE_DIR}/tests/support/container_builder.cpp)
  target_include_directories(quorix_soak PRIVATE ${PROJECT_SOURCE_DIR}/src ${PROJECT_SOURCE_DIR}/include
    ${PROJECT_SOURCE_DIR}/tests)
  target_compile_options(quorix_soak PRIVATE ${QUORIX_WARNINGS})
  target_link_libraries(quorix_soak PRIVATE quorixsdk quorix_test_media Threads::Threads ${CMAKE_DL_LIBS})
  # The soak counts the threads that the library starts and reaps: its own pthread_create,
  # pthread_join and pthread_detach must be the ones the library's calls bind to.
  target_link_options(quorix_soak PRIVATE "LINKER:--export-dynamic-symbol=pthread_create"
    "LINKER:--export-dynamic-symbol=pthread_join" "LINKER:--export-dynamic-symbol=pthread_detach")
  add_dependencies(quorix_soak player_sdk_copy)
  set_target_properties(quorix_soak PROPERTIES
    RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/tests/player_e2e
    BUILD_RPATH "\$ORIGIN")
endif()
