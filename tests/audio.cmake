# Wave output and its ALSA device. The tests point ALSA at a configuration of their own (a PCM
# that captures into WAV files over the null device), so no sound card is needed.
quorix_add_gtest(audio_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/audio_support.cpp
          ${CMAKE_CURRENT_LIST_DIR}/audio_alloc_count.cpp
          ${CMAKE_CURRENT_LIST_DIR}/audio_waveout_test.cpp
          ${CMAKE_CURRENT_LIST_DIR}/audio_device_test.cpp
  LIBS quorix_media quorix_codec quorix_platform quorix_base quorix_test_media
  LABELS media)
