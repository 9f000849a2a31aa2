# Faults injected into the library: allocation failures, damaged media, a sound device that
# goes away, a full disk and killed recordings. The suites that go through the public interface
# run beside the library copy and the external renderer double of the player suites.

# player_sdk_copy comes from tests/player.cmake, included after this file.
quorix_add_gtest(fault_sdk
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/fault_alloc.cpp
          ${CMAKE_CURRENT_LIST_DIR}/fault_stream.cpp
          ${CMAKE_CURRENT_LIST_DIR}/support/stress_support.cpp
          ${CMAKE_CURRENT_LIST_DIR}/support/player_media.cpp
          ${CMAKE_CURRENT_LIST_DIR}/support/container_builder.cpp
  LIBS quorixsdk quorix_test_media ${CMAKE_DL_LIBS}
  LABELS stress
  ENV QUORIX_AUDIO_DEVICE=null)
add_dependencies(fault_sdk player_sdk_copy)
set_target_properties(fault_sdk PROPERTIES
  RUNTIME_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/player_e2e
  BUILD_RPATH "\$ORIGIN")

# The sound device and the recorder from the inside: forked children under file size limits
# and kills. The long kill run is skipped unless QUORIX_STRESS_CYCLES is set.
quorix_add_gtest(fault_media
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/fault_audio.cpp
          ${CMAKE_CURRENT_LIST_DIR}/fault_record.cpp
          ${CMAKE_CURRENT_LIST_DIR}/audio_support.cpp
          ${CMAKE_CURRENT_LIST_DIR}/support/writer_support.cpp
          ${CMAKE_CURRENT_LIST_DIR}/support/container_builder.cpp
  LIBS quorix_media quorix_codec quorix_platform quorix_base quorix_test_media ${CMAKE_DL_LIBS}
  LABELS stress)

# The X server of a port's window killed while it draws: a server of the test's own (Xvfb with
# -displayfd), so the shared test display is never touched.
quorix_add_gtest(fault_xserver
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/fault_xserver.cpp
          ${CMAKE_CURRENT_LIST_DIR}/support/view_support.cpp
          ${CMAKE_CURRENT_LIST_DIR}/support/player_media.cpp
          ${CMAKE_CURRENT_LIST_DIR}/support/container_builder.cpp
  LIBS quorixsdk quorix_test_media PkgConfig::GL PkgConfig::EGL PkgConfig::X11XCB
  LABELS stress
  ENV QUORIX_AUDIO_DEVICE=null)
