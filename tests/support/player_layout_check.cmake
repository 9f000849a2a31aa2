# The player port reaches its renderers only through IPortRenderer: no file of the player
# includes a GL header (GL calls belong to the panorama), and the request files pick no renderer
# by hand (no renderer flags or renderer pointers of their own).
#   cmake -DSOURCE_DIR=<repository> -P player_layout_check.cmake

file(GLOB _player_files ${SOURCE_DIR}/src/player/*.h ${SOURCE_DIR}/src/player/*.cpp)
set(_faults "")
foreach(_file IN LISTS _player_files)
  file(STRINGS ${_file} _gl REGEX "^[ \t]*#[ \t]*include[ \t]*[<\"](GL|EGL|GLES[0-9]*)/")
  if(_gl)
    string(APPEND _faults "${_file} includes a GL header: ${_gl}\n")
  endif()
endforeach()
foreach(_leaf player_view.cpp player_capture.cpp)
  file(STRINGS ${SOURCE_DIR}/src/player/${_leaf} _flags REGEX "m_external|m_directDraw|m_render|m_display")
  if(_flags)
    string(APPEND _faults "src/player/${_leaf} picks a renderer by hand: ${_flags}\n")
  endif()
endforeach()
if(_faults)
  message(FATAL_ERROR "${_faults}")
endif()
