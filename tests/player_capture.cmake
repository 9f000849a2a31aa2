# Captures, snapshot callbacks, recording, clip export, sound and attached ports of a port,
# through the public interface of libquorixsdk.so. The OpenGL suites draw headless (off-screen
# surfaces, no X display).

set(_capture_dir ${CMAKE_CURRENT_LIST_DIR})

add_library(quorix_capture_support STATIC
  ${_capture_dir}/support/capture_support.cpp
  ${_capture_dir}/support/player_media.cpp
  ${_capture_dir}/support/container_builder.cpp)
target_include_directories(quorix_capture_support PUBLIC ${_capture_dir} ${PROJECT_SOURCE_DIR}/src
  ${PROJECT_SOURCE_DIR}/include)
target_compile_options(quorix_capture_support PRIVATE ${QUORIX_WARNINGS})
target_link_libraries(quorix_capture_support PUBLIC quorixsdk quorix_test_media PRIVATE PkgConfig::TURBOJPEG
  PkgConfig::SWSCALE)

quorix_add_gtest(player_capture_gl
  SOURCES ${_capture_dir}/player_capture_gl.cpp
  LIBS quorix_capture_support
  LABELS player)

quorix_add_gtest(player_capture_data
  SOURCES ${_capture_dir}/player_capture_data.cpp
  LIBS quorix_capture_support
  LABELS player)

# Sound: the application object's wave output is watched, so the frame is linked statically.
quorix_add_gtest(player_capture_audio
  SOURCES ${_capture_dir}/player_capture_audio.cpp ${_capture_dir}/audio_support.cpp
          ${_capture_dir}/support/capture_support.cpp
  LIBS quorix_sdk quorix_test_media PkgConfig::TURBOJPEG PkgConfig::SWSCALE
  LABELS player)

# The software display: chosen for good by the process, so it has a process of its own.
quorix_add_gtest(player_capture_soft
  SOURCES ${_capture_dir}/player_capture_soft.cpp
  LIBS quorix_capture_support
  LABELS player)
