# Display and view of a port through the public interface: the OpenGL renderer headless and in
# manual mode, the software display, the external renderer (a double beside a library copy),
# and a host's video wall on the test X server.

set(_view_dir ${CMAKE_CURRENT_LIST_DIR})
set(_view_support ${_view_dir}/support/view_support.cpp ${_view_dir}/support/player_media.cpp
    ${_view_dir}/support/container_builder.cpp)

quorix_add_gtest(player_view_gl
  SOURCES ${_view_dir}/player_view_gl.cpp ${_view_support}
  LIBS quorixsdk quorix_test_media PkgConfig::GL PkgConfig::EGL PkgConfig::X11XCB
  LABELS player)

# The external renderer column: the renderer double (tests/pano_double.cmake) beside a copy of
# the library, in a folder of their own (the library looks for the renderer in its own directory).
set(_view_pano_out ${CMAKE_CURRENT_BINARY_DIR}/player_view_pano)
quorix_add_pano_double(view_pano_double ${_view_pano_out})
add_custom_command(
  OUTPUT ${_view_pano_out}/libquorixsdk.so.copied
  COMMAND ${CMAKE_COMMAND} -E make_directory ${_view_pano_out}
  COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:quorixsdk> ${_view_pano_out}/$<TARGET_SONAME_FILE_NAME:quorixsdk>
  COMMAND ${CMAKE_COMMAND} -E touch ${_view_pano_out}/libquorixsdk.so.copied
  DEPENDS quorixsdk
  VERBATIM)
add_custom_target(view_pano_sdk_copy DEPENDS ${_view_pano_out}/libquorixsdk.so.copied view_pano_double)
quorix_add_gtest(player_view_pano
  SOURCES ${_view_dir}/player_view_pano.cpp ${_view_support}
  LIBS quorixsdk quorix_test_media PkgConfig::GL PkgConfig::EGL PkgConfig::X11XCB ${CMAKE_DL_LIBS}
  LABELS player)
add_dependencies(player_view_pano view_pano_sdk_copy)
set_target_properties(player_view_pano PROPERTIES
  RUNTIME_OUTPUT_DIRECTORY ${_view_pano_out}
  BUILD_RPATH "\$ORIGIN")

# The software display column: the render mode is chosen once per process.
quorix_add_gtest(player_view_soft
  SOURCES ${_view_dir}/player_view_soft.cpp ${_view_support}
  LIBS quorixsdk quorix_test_media PkgConfig::GL PkgConfig::EGL PkgConfig::X11XCB
  LABELS player
  XSERVER)

# A host's video wall on the shared test X server.
quorix_add_gtest(player_view_wall
  SOURCES ${_view_dir}/player_view_wall.cpp ${_view_support}
  LIBS quorixsdk quorix_test_media PkgConfig::GL PkgConfig::EGL PkgConfig::X11XCB PkgConfig::XCB
  LABELS player
  XSERVER)

# The perspective view of a lens on both renderers against libavfilter's v360, for every mount.
quorix_add_gtest(player_view_perspective
  SOURCES ${_view_dir}/player_view_perspective.cpp ${_view_dir}/support/filter_graph.cpp
  LIBS quorix_capture_support PkgConfig::AVFILTER PkgConfig::AVUTIL
  LABELS player)
