# Pulled sources: media files written by the tests and loopback addresses where nothing answers,
# through the public interface.
quorix_add_gtest(pull_camera
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/pull_camera.cpp ${CMAKE_CURRENT_LIST_DIR}/tools_support.cpp
  LIBS quorixsdk PkgConfig::AVFORMAT PkgConfig::AVCODEC PkgConfig::AVUTIL
  LABELS pull
  ENV QUORIX_AUDIO_DEVICE=null)
