# Turns every shader file of a directory (*.vert, *.frag) into a C++ source with their text as
# character arrays, so that the library carries its shaders and needs no file at run time.
# shaders/<name>.<stage> becomes g_<name><Stage>Source: sphere.vert is g_sphereVertSource.
#   cmake -DOUTPUT=<file.cpp> -DSHADER_DIR=<dir> -P shader_embed.cmake

function(_quorix_glsl_array name path out)
  file(READ "${path}" _hex HEX)
  string(LENGTH "${_hex}" _len)
  math(EXPR _bytes "${_len} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," _list "${_hex}")
  # Break the list into lines of 16 bytes to keep the generated file readable.
  string(REGEX REPLACE "((0x[0-9a-f][0-9a-f],){16})" "\\1\n    " _list "${_list}")
  get_filename_component(_file "${path}" NAME)
  set(${out} "// ${_file}: ${_bytes} bytes\nconst char ${name}[] = {\n    ${_list}0x00};\n" PARENT_SCOPE)
endfunction()

file(GLOB _shaders "${SHADER_DIR}/*.vert" "${SHADER_DIR}/*.frag")
list(SORT _shaders)
set(_arrays "")
set(_pointers "")
foreach(_path IN LISTS _shaders)
  get_filename_component(_stem "${_path}" NAME_WE)
  get_filename_component(_ext "${_path}" LAST_EXT)
  string(SUBSTRING "${_ext}" 1 1 _first)
  string(SUBSTRING "${_ext}" 2 -1 _rest)
  string(TOUPPER "${_first}" _first)
  string(SUBSTRING "${_stem}" 0 1 _stemFirst)
  string(SUBSTRING "${_stem}" 1 -1 _stemRest)
  string(TOUPPER "${_stemFirst}" _stemFirst)
  set(_array "k${_stemFirst}${_stemRest}${_first}${_rest}")
  _quorix_glsl_array(${_array} "${_path}" _text)
  string(APPEND _arrays "${_text}")
  string(APPEND _pointers "const char* const g_${_stem}${_first}${_rest}Source = ${_array};\n")
endforeach()
set(_text "// Generated from the shader files at build time; do not edit.\n#include \"panorama/shader_embed.h\"\n\nnamespace SPHERA {\nnamespace {\n${_arrays}}  // namespace\n\n${_pointers}\n}  // namespace SPHERA\n")
# Only touch the output when the text changed, so that nothing rebuilds without need.
if(EXISTS "${OUTPUT}")
  file(READ "${OUTPUT}" _old)
  if(_old STREQUAL _text)
    return()
  endif()
endif()
file(WRITE "${OUTPUT}" "${_text}")
