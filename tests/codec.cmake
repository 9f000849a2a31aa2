# Decoder layer, image codec and the stand-in native decoders. The media encoder in support/ is a
# library of its own so that later suites can make their test streams with it.
if(NOT TARGET quorix_test_media)
  add_library(quorix_test_media STATIC ${CMAKE_CURRENT_LIST_DIR}/support/media_encoder.cpp)
  target_include_directories(quorix_test_media PUBLIC ${CMAKE_CURRENT_LIST_DIR})
  target_compile_options(quorix_test_media PRIVATE ${QUORIX_WARNINGS})
  target_link_libraries(quorix_test_media PUBLIC PkgConfig::AVCODEC PkgConfig::AVUTIL PRIVATE PkgConfig::TURBOJPEG)
endif()

quorix_add_gtest(codec_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/codec_factory_test.cpp
          ${CMAKE_CURRENT_LIST_DIR}/codec_video_test.cpp
          ${CMAKE_CURRENT_LIST_DIR}/codec_image_test.cpp
          ${CMAKE_CURRENT_LIST_DIR}/codec_audio_test.cpp
  LIBS quorix_codec quorix_base quorix_test_media
  LABELS codec)
