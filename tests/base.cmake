# Base library suites: one executable per source file tests/base_<name>.cpp.
foreach(_base_suite thread log datetime util)
  if(EXISTS ${CMAKE_CURRENT_LIST_DIR}/base_${_base_suite}.cpp)
    quorix_add_gtest(base_${_base_suite} SOURCES ${CMAKE_CURRENT_LIST_DIR}/base_${_base_suite}.cpp
      LIBS quorix_base LABELS base)
  endif()
endforeach()
