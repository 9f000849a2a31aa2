# Shutdown races under load through the public interface. The suite runs beside the library
# copy and the external renderer double of the player suites (tests/player.cmake), so the
# library finds that renderer in its own directory. QUORIX_STRESS_CYCLES raises the number of
# cycles for a long run; the default keeps the suite short enough for every CI run.

if(TARGET player_sdk_copy)
  quorix_add_gtest(stress_shutdown
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/stress_shutdown.cpp
            ${CMAKE_CURRENT_LIST_DIR}/support/stress_support.cpp
            ${CMAKE_CURRENT_LIST_DIR}/support/player_media.cpp
            ${CMAKE_CURRENT_LIST_DIR}/support/container_builder.cpp
    LIBS quorixsdk quorix_test_media PkgConfig::X11XCB ${CMAKE_DL_LIBS}
    LABELS stress
    ENV QUORIX_AUDIO_DEVICE=null)
  add_dependencies(stress_shutdown player_sdk_copy)
  set_target_properties(stress_shutdown PROPERTIES
    RUNTIME_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/player_e2e
    BUILD_RPATH "\$ORIGIN")
endif()
