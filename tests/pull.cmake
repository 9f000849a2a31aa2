# Pulled sources: media files written by the tests, a TCP server of the tests and loopback
# addresses where nothing answers, through the public interface. Run beside the library copy and
# the external renderer double of the player suites (tests/player.cmake), which keeps every
# picture a port shows.
quorix_add_gtest(pull_camera
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/pull_camera.cpp ${CMAKE_CURRENT_LIST_DIR}/tools_support.cpp
  LIBS quorixsdk PkgConfig::AVFORMAT PkgConfig::AVCODEC PkgConfig::AVUTIL ${CMAKE_DL_LIBS}
  LABELS pull
  ENV QUORIX_AUDIO_DEVICE=null)
add_dependencies(pull_camera player_sdk_copy)
set_target_properties(pull_camera PROPERTIES
  RUNTIME_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/player_e2e
  BUILD_RPATH "\$ORIGIN")
