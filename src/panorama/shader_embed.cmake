# Turns the two shader files into a C++ source with their text as character arrays, so that the
# library carries its shaders and needs no file at run time.
#   cmake -DOUTPUT=<file.cpp> -DVERT=<sphere.vert> -DFRAG=<sphere.frag> -P shader_embed.cmake

function(_quorix_glsl_array name path out)
  file(READ "${path}" _hex HEX)
  string(LENGTH "${_hex}" _len)
  math(EXPR _bytes "${_len} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," _list "${_hex}")
  # Break the list into lines of 16 bytes to keep the generated file readable.
  string(REGEX REPLACE "((0x[0-9a-f][0-9a-f],){16})" "\\1\n    " _list "${_list}")
  set(${out} "// ${path}: ${_bytes} bytes\nconst char ${name}[] = {\n    ${_list}0x00};\n" PARENT_SCOPE)
endfunction()

_quorix_glsl_array(kVert "${VERT}" _vert)
_quorix_glsl_array(kFrag "${FRAG}" _frag)
set(_text "// Generated from the shader files at build time; do not edit.\n#include \"panorama/shader_embed.h\"\n\nnamespace SPHERA {\nnamespace {\n${_vert}${_frag}}  // namespace\n\nconst char* const g_sphereVertSource = kVert;\nconst char* const g_sphereFragSource = kFrag;\n\n}  // namespace SPHERA\n")
# Only touch the output when the text changed, so that nothing rebuilds without need.
if(EXISTS "${OUTPUT}")
  file(READ "${OUTPUT}" _old)
  if(_old STREQUAL _text)
    return()
  endif()
endif()
file(WRITE "${OUTPUT}" "${_text}")
