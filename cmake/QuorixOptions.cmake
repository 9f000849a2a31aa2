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

# The lower layers see only the public headers that declare no function (the contract's plain
# values and the container layout), linked into a folder of their own: an include of the whole
# contract (quorixsdk.h) from below the player does not compile.
set(QUORIX_LOWER_INCLUDE_DIR ${PROJECT_BINARY_DIR}/lower-include)
file(MAKE_DIRECTORY ${QUORIX_LOWER_INCLUDE_DIR})
foreach(_lower_header quorixsdk_codes.h quorixsdk_container.h)
  file(CREATE_LINK ${PROJECT_SOURCE_DIR}/include/${_lower_header}
       ${QUORIX_LOWER_INCLUDE_DIR}/${_lower_header} SYMBOLIC COPY_ON_ERROR)
endforeach()

# quorix_add_module(<target> [LOWER] SOURCES ... [PUBLIC_LIBS ...] [PRIVATE_LIBS ...])
# One static library per subsystem, position independent and hidden by default, so that the
# shared library can link them all and tests can link the inside. LOWER: a layer below the
# player (base, codec, media, platform, ddraw, panorama, dewarp), which gets QUORIX_LOWER_INCLUDE_DIR instead of
# include/.
function(quorix_add_module target)
  cmake_parse_arguments(ARG "LOWER" "" "SOURCES;PUBLIC_LIBS;PRIVATE_LIBS" ${ARGN})
  set(_public_include ${PROJECT_SOURCE_DIR}/include)
  if(ARG_LOWER)
    set(_public_include ${QUORIX_LOWER_INCLUDE_DIR})
  endif()
  if(NOT ARG_SOURCES)
    # A subsystem whose folder has no sources yet.
    add_library(${target} INTERFACE)
    target_include_directories(${target} INTERFACE ${PROJECT_SOURCE_DIR}/src ${_public_include})
    return()
  endif()
  add_library(${target} STATIC ${ARG_SOURCES})
  target_include_directories(${target} PUBLIC ${PROJECT_SOURCE_DIR}/src ${_public_include})
  target_compile_options(${target} PRIVATE ${QUORIX_WARNINGS})
  target_compile_definitions(${target} PUBLIC QUORIX_BUILDING_LIBRARY=1)
  if(ARG_PUBLIC_LIBS)
    target_link_libraries(${target} PUBLIC ${ARG_PUBLIC_LIBS})
  endif()
  if(ARG_PRIVATE_LIBS)
    target_link_libraries(${target} PRIVATE ${ARG_PRIVATE_LIBS})
  endif()
endfunction()
