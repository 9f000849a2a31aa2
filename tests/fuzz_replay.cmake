# Every fuzz target's saved corpus (fuzz/corpus/<target>/, crash regressions included) replayed
# once through a plain build of the target, in the normal test run.
include(${PROJECT_SOURCE_DIR}/fuzz/targets.cmake)
foreach(_target IN LISTS QUORIX_FUZZ_TARGETS)
  if(IS_DIRECTORY ${PROJECT_SOURCE_DIR}/fuzz/corpus/${_target})
    quorix_fuzz_program(${_target} fuzz_replay_${_target} REPLAY)
    add_test(NAME fuzz_replay.${_target}
             COMMAND fuzz_replay_${_target} ${PROJECT_SOURCE_DIR}/fuzz/corpus/${_target})
    set_tests_properties(fuzz_replay.${_target} PROPERTIES TIMEOUT 300 LABELS fuzz)
  endif()
  if(_target STREQUAL "api" AND TARGET fuzz_replay_api)
    # Headless, with the null sound device; once more with the software display, which a
    # process chooses for good.
    set_tests_properties(fuzz_replay.api PROPERTIES ENVIRONMENT "QUORIX_AUDIO_DEVICE=null")
    add_test(NAME fuzz_replay.api_soft COMMAND fuzz_replay_api ${PROJECT_SOURCE_DIR}/fuzz/corpus/api)
    set_tests_properties(fuzz_replay.api_soft PROPERTIES TIMEOUT 300 LABELS fuzz
                         ENVIRONMENT "QUORIX_AUDIO_DEVICE=null;QUORIX_FUZZ_RENDER=soft")
  endif()
endforeach()

# The program that wrote the seeds of fuzz/corpus (run by hand: fuzz_seedgen fuzz/corpus).
add_executable(fuzz_seedgen ${PROJECT_SOURCE_DIR}/fuzz/seedgen.cpp ${PROJECT_SOURCE_DIR}/src/panorama/modeldata.cpp ${CMAKE_CURRENT_LIST_DIR}/support/container_builder.cpp)
target_include_directories(fuzz_seedgen PRIVATE ${CMAKE_CURRENT_LIST_DIR} ${PROJECT_SOURCE_DIR}/src ${PROJECT_SOURCE_DIR}/include)
target_compile_options(fuzz_seedgen PRIVATE ${QUORIX_WARNINGS})
target_link_libraries(fuzz_seedgen PRIVATE quorix_test_media quorix_base GTest::gtest PkgConfig::GLEW PkgConfig::GL Threads::Threads)
