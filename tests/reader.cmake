# Container format and file reader. The reader's sources are compiled in directly so that the
# suite depends on the base library only.
set(_reader_sources
  ${PROJECT_SOURCE_DIR}/src/media/hmfreader.cpp
  ${PROJECT_SOURCE_DIR}/src/media/kzreader.cpp
  ${PROJECT_SOURCE_DIR}/src/media/mkzdata.cpp
  ${PROJECT_SOURCE_DIR}/src/media/hmfwriter.cpp
  ${PROJECT_SOURCE_DIR}/src/media/kzwriter.cpp)
quorix_add_gtest(reader_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/reader_format.cpp
    ${CMAKE_CURRENT_LIST_DIR}/reader_play.cpp
    ${CMAKE_CURRENT_LIST_DIR}/reader_damage.cpp
    ${CMAKE_CURRENT_LIST_DIR}/support/container_builder.cpp
    ${_reader_sources}
  LIBS quorix_base
  LABELS media)

if(TARGET quorix-info)
  quorix_add_gtest(reader_info_tests
    SOURCES
      ${CMAKE_CURRENT_LIST_DIR}/reader_info.cpp
      ${CMAKE_CURRENT_LIST_DIR}/support/container_builder.cpp
    LIBS quorix_base
    LABELS media tools)
  target_compile_definitions(reader_info_tests PRIVATE QUORIX_INFO_PATH="$<TARGET_FILE:quorix-info>")
  add_dependencies(reader_info_tests quorix-info)
endif()
