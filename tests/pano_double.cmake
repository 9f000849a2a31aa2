# The external panorama renderer double (support/pano_double.c), shared by every suite that
# needs one. A library finds its renderer in its own directory, so each suite puts a double
# beside the library (or a copy of it) that it loads.
#
# quorix_add_pano_double(<target> <directory> [definitions...]) builds the double as
# <directory>/libPanoRenderOGL.so. PANO_DOUBLE_DECORATED exports the decorated entry names
# (renamed after linking by pano_double_rename), PANO_DOUBLE_PARTIAL leaves five entries out.

add_executable(pano_double_rename ${CMAKE_CURRENT_LIST_DIR}/support/pano_double_rename.cpp)
target_include_directories(pano_double_rename PRIVATE ${CMAKE_CURRENT_LIST_DIR})
target_compile_options(pano_double_rename PRIVATE ${QUORIX_WARNINGS})

set(QUORIX_PANO_DOUBLE_SOURCE ${CMAKE_CURRENT_LIST_DIR}/support/pano_double.c)
function(quorix_add_pano_double target directory)
  add_library(${target} MODULE ${QUORIX_PANO_DOUBLE_SOURCE})
  target_compile_options(${target} PRIVATE ${QUORIX_WARNINGS})
  target_compile_definitions(${target} PRIVATE ${ARGN})
  target_link_libraries(${target} PRIVATE Threads::Threads)
  set_target_properties(${target} PROPERTIES
    PREFIX "lib" OUTPUT_NAME PanoRenderOGL
    LIBRARY_OUTPUT_DIRECTORY ${directory})
  if("PANO_DOUBLE_DECORATED" IN_LIST ARGN)
    # SysV hash only: the rename rebuilds that table, a GNU hash table would go stale.
    target_link_options(${target} PRIVATE "LINKER:--hash-style=sysv")
    add_custom_command(TARGET ${target} POST_BUILD
      COMMAND pano_double_rename $<TARGET_FILE:${target}>
      VERBATIM)
    add_dependencies(${target} pano_double_rename)
  endif()
endfunction()
