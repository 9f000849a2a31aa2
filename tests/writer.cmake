# File writer and clip export. The reader and writer sources are compiled in directly so that
# the suite depends on the base library only; the crash suite kills and limits forked children.
set(_writer_sources
  ${PROJECT_SOURCE_DIR}/src/media/hmfreader.cpp
  ${PROJECT_SOURCE_DIR}/src/media/kzreader.cpp
  ${PROJECT_SOURCE_DIR}/src/media/mkzdata.cpp
  ${PROJECT_SOURCE_DIR}/src/media/hmfwriter.cpp
  ${PROJECT_SOURCE_DIR}/src/media/kzwriter.cpp
  ${CMAKE_CURRENT_LIST_DIR}/support/container_builder.cpp
  ${CMAKE_CURRENT_LIST_DIR}/support/writer_support.cpp)
set(_writer_suites file)
foreach(_suite clip crash)
  if(EXISTS ${CMAKE_CURRENT_LIST_DIR}/writer_${_suite}.cpp)
    list(APPEND _writer_suites ${_suite})
  endif()
endforeach()
set(_writer_test_sources)
foreach(_suite ${_writer_suites})
  list(APPEND _writer_test_sources ${CMAKE_CURRENT_LIST_DIR}/writer_${_suite}.cpp)
endforeach()
quorix_add_gtest(writer_tests
  SOURCES ${_writer_test_sources} ${_writer_sources}
  LIBS quorix_base
  LABELS media)
if(TARGET quorix-info)
  target_compile_definitions(writer_tests PRIVATE QUORIX_INFO_PATH="$<TARGET_FILE:quorix-info>")
  add_dependencies(writer_tests quorix-info)
endif()
