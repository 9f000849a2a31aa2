# Player port end to end through the public interface: libquorixsdk.so plays recorded files and
# live streams into the external renderer double (tests/pano_double.cmake). The library looks
# for that renderer in its own directory, so the suite runs against a copy of the library placed
# beside the double.

set(_player_dir ${CMAKE_CURRENT_LIST_DIR})
set(_player_out ${CMAKE_CURRENT_BINARY_DIR}/player_e2e)

quorix_add_pano_double(player_pano_double ${_player_out})

# The copy carries the library's run-time name, so the loader takes it (through $ORIGIN) in
# place of the one in the build tree.
add_custom_command(
  OUTPUT ${_player_out}/libquorixsdk.so.copied
  COMMAND ${CMAKE_COMMAND} -E make_directory ${_player_out}
  COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:quorixsdk> ${_player_out}/$<TARGET_SONAME_FILE_NAME:quorixsdk>
  COMMAND ${CMAKE_COMMAND} -E touch ${_player_out}/libquorixsdk.so.copied
  DEPENDS quorixsdk
  VERBATIM)
add_custom_target(player_sdk_copy DEPENDS ${_player_out}/libquorixsdk.so.copied player_pano_double)

quorix_add_gtest(player_e2e
  SOURCES ${_player_dir}/player_e2e.cpp ${_player_dir}/support/player_media.cpp
          ${_player_dir}/support/container_builder.cpp
  LIBS quorixsdk quorix_test_media ${CMAKE_DL_LIBS}
  LABELS player)
add_dependencies(player_e2e player_sdk_copy)
set_target_properties(player_e2e PROPERTIES
  RUNTIME_OUTPUT_DIRECTORY ${_player_out}
  BUILD_RPATH "\$ORIGIN")

# The port from the inside, with a host of the test's own.
quorix_add_gtest(player_port
  SOURCES ${_player_dir}/player_port.cpp ${_player_dir}/support/player_media.cpp
          ${_player_dir}/support/container_builder.cpp ${_player_dir}/support/large_blocks.cpp
  LIBS quorix_player quorix_media quorix_codec quorix_panorama quorix_platform quorix_base
       quorix_test_media
  LABELS player)

# The port's layering: its renderers only through IPortRenderer, no GL of its own.
add_test(NAME PlayerLayout.RenderersOnlyThroughThePortInterface
  COMMAND ${CMAKE_COMMAND} -DSOURCE_DIR=${PROJECT_SOURCE_DIR} -P ${_player_dir}/support/player_layout_check.cmake)
set_tests_properties(PlayerLayout.RenderersOnlyThroughThePortInterface PROPERTIES LABELS player)
