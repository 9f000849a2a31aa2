# Warnings, sanitizers and the helper that every internal static library goes through.

set(QUORIX_WARNINGS -Wall -Wextra)
if(QUORIX_WERROR)
  list(APPEND QUORIX_WARNINGS -Werror)
endif()

if(QUORIX_SANITIZE)
  string(REPLACE "," ";" _san_list "${QUORIX_SANITIZE}")
  foreach(_san IN LISTS _san_list)
    if(NOT _san MATCHES "^(address|undefined|thread|leak)$")
      message(FATAL_ERROR "QUORIX_SANITIZE: unknown sanitizer '${_san}'")
    endif()
  endforeach()
  add_compile_options(-fsanitize=${QUORIX_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=${QUORIX_SANITIZE})
endif()

# quorix_add_module(<target> SOURCES ... [PUBLIC_LIBS ...] [PRIVATE_LIBS ...])
# One static library per subsystem, position independent and hidden by default, so that the
# shared library can link them all and tests can link the inside.
function(quorix_add_module target)
  cmake_parse_arguments(ARG "" "" "SOURCES;PUBLIC_LIBS;PRIVATE_LIBS" ${ARGN})
  add_library(${target} STATIC ${ARG_SOURCES})
  target_include_directories(${target} PUBLIC ${PROJECT_SOURCE_DIR}/src ${PROJECT_SOURCE_DIR}/include)
  target_compile_options(${target} PRIVATE ${QUORIX_WARNINGS})
  target_compile_definitions(${target} PUBLIC QUORIX_BUILDING_LIBRARY=1)
  if(ARG_PUBLIC_LIBS)
    target_link_libraries(${target} PUBLIC ${ARG_PUBLIC_LIBS})
  endif()
  if(ARG_PRIVATE_LIBS)
    target_link_libraries(${target} PRIVATE ${ARG_PRIVATE_LIBS})
  endif()
endfunction()
