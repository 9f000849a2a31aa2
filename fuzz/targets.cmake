# The fuzz targets and what each is built from, shared by the libFuzzer build (fuzz/) and the
# corpus replay programs of the normal test run (tests/fuzz_replay.cmake).
#
# quorix_fuzz_program(<target> <executable> FUZZER|REPLAY) adds one program for a target:
# FUZZER links the libFuzzer runtime, REPLAY the replay main that runs a corpus once.

set(QUORIX_FUZZ_DIR ${CMAKE_CURRENT_LIST_DIR})
set(QUORIX_FUZZ_TARGETS reader header live_input modeldata decoder writer api)

# The container code is compiled in directly so these targets depend on the base library only.
set(_quorix_fuzz_container
  ${PROJECT_SOURCE_DIR}/src/media/hmfreader.cpp
  ${PROJECT_SOURCE_DIR}/src/media/kzreader.cpp
  ${PROJECT_SOURCE_DIR}/src/media/mkzdata.cpp
  ${PROJECT_SOURCE_DIR}/src/media/hmfwriter.cpp
  ${PROJECT_SOURCE_DIR}/src/media/kzwriter.cpp)

function(quorix_fuzz_program target exe kind)
  set(_sources ${QUORIX_FUZZ_DIR}/fuzz_${target}.cpp)
  set(_libs)
  if(target STREQUAL "reader" OR target STREQUAL "header" OR target STREQUAL "writer")
    list(APPEND _sources ${_quorix_fuzz_container})
    list(APPEND _libs quorix_base)
  elseif(target STREQUAL "live_input")
    # The engine suite's stand-in decoder and renderer; platform uses base, so base follows it.
    list(APPEND _libs quorix_media quorix_platform quorix_base GTest::gtest)
  elseif(target STREQUAL "modeldata")
    list(APPEND _sources ${PROJECT_SOURCE_DIR}/src/panorama/modeldata.cpp)
    list(APPEND _libs quorix_base PkgConfig::GLEW PkgConfig::GL)
  elseif(target STREQUAL "decoder")
    list(APPEND _libs quorix_codec quorix_base PkgConfig::AVUTIL)
  elseif(target STREQUAL "api")
    # The whole library through its exports, with the test media helpers for its recording.
    list(APPEND _sources ${PROJECT_SOURCE_DIR}/tests/support/player_media.cpp
         ${PROJECT_SOURCE_DIR}/tests/support/container_builder.cpp
         ${PROJECT_SOURCE_DIR}/tests/support/media_encoder.cpp)
    list(APPEND _libs quorix_sdk PkgConfig::AVCODEC PkgConfig::AVUTIL PkgConfig::TURBOJPEG)
  else()
    message(FATAL_ERROR "quorix_fuzz_program: unknown target '${target}'")
  endif()
  if(kind STREQUAL "REPLAY")
    list(APPEND _sources ${QUORIX_FUZZ_DIR}/replay_main.cpp)
  endif()
  add_executable(${exe} ${_sources})
  target_include_directories(${exe} PRIVATE ${QUORIX_FUZZ_DIR} ${PROJECT_SOURCE_DIR}/tests
                             ${PROJECT_SOURCE_DIR}/src ${PROJECT_SOURCE_DIR}/include)
  target_compile_options(${exe} PRIVATE ${QUORIX_WARNINGS})
  target_link_libraries(${exe} PRIVATE ${_libs} Threads::Threads)
  if(kind STREQUAL "FUZZER")
    # Findings that only a fuzzing run reports (the replay keeps going past them).
    target_compile_definitions(${exe} PRIVATE QUORIX_FUZZ_UNDER_LIBFUZZER=1)
    target_compile_options(${exe} PRIVATE -fsanitize=fuzzer)
    target_link_options(${exe} PRIVATE -fsanitize=fuzzer)
  endif()
endfunction()
