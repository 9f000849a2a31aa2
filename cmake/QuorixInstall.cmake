# Install rules: the shared library with its SONAME links, the headers, a pkg-config file, a CMake
# package (imported target quorixsdk::quorixsdk), the default configuration beside the library
# and the command-line tools.
#
# Hosts include the header as <quorixsdk.h>: both pkg-config (--cflags) and the CMake target put
# <prefix>/include/quorixsdk on the include path, the same spelling as in this source tree.
# <quorixsdk/quorixsdk.h> works too with only <prefix>/include on the path.

include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(_qx_incdir "${CMAKE_INSTALL_INCLUDEDIR}/quorixsdk")
set(_qx_cmakedir "${CMAKE_INSTALL_LIBDIR}/cmake/quorixsdk")

install(TARGETS quorixsdk
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT development)
# quorixsdk.h includes quorixsdk_codes.h from its own directory; quorixsdk_container.h is the
# container layout for programs that read or write recordings themselves; quorixsdk_camera.h
# lets a port pull a camera or a media file itself.
install(FILES ${PROJECT_SOURCE_DIR}/include/quorixsdk.h ${PROJECT_SOURCE_DIR}/include/quorixsdk_codes.h
              ${PROJECT_SOURCE_DIR}/include/quorixsdk_container.h
              ${PROJECT_SOURCE_DIR}/include/quorixsdk_camera.h
  DESTINATION ${_qx_incdir} COMPONENT development)

# The library reads quorixsdk.ini from its own directory (and looks for the optional external
# panorama renderer libPanoRenderOGL.so there too); the installed file holds the defaults.
set(_qx_ini "${CMAKE_CURRENT_BINARY_DIR}/quorixsdk.ini")
file(CONFIGURE OUTPUT ${_qx_ini} CONTENT [=[
; quorixsdk configuration, read at QUORIX_InitSDK from the directory of libquorixsdk.so.
; Decoder modules: 0 auto, 1 ffmpeg, 2 hisi, 3 inter, 4 nvidia, 5 amd, 6 home.
[DECODER]
H264=0
H265=0
MJPEG=0
; Largest picture width and height for the "H265" module; larger H.265 pictures use ffmpeg.
HISI_MAX_WIDTH=8192
; 1: where the only OpenGL is a software rasteriser (llvmpipe, softpipe, swrast), ports de-warp
; on the CPU in the software display; 0: they keep OpenGL. QUORIX_CPU_DEWARP=0/1 overrides it.
[RENDER]
CPU_DEWARP=1
]=] @ONLY)
install(FILES ${_qx_ini} DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime)

# pkg-config. The library's own dependencies are linked into it, so hosts need only -lquorixsdk.
# The prefix is found from the .pc file's own place, so `cmake --install --prefix` anywhere works.
file(RELATIVE_PATH _qx_pc_up "/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/")
string(REGEX REPLACE "/$" "" _qx_pc_up "${_qx_pc_up}")
set(_qx_pc "${CMAKE_CURRENT_BINARY_DIR}/quorixsdk.pc")
file(CONFIGURE OUTPUT ${_qx_pc} CONTENT [=[
prefix=${pcfiledir}/@_qx_pc_up@
libdir=${prefix}/@CMAKE_INSTALL_LIBDIR@
includedir=${prefix}/@CMAKE_INSTALL_INCLUDEDIR@

Name: quorixsdk
Description: @PROJECT_DESCRIPTION@
Version: @PROJECT_VERSION@
Libs: -L${libdir} -lquorixsdk
Cflags: -I${includedir}/quorixsdk
]=] @ONLY)
install(FILES ${_qx_pc} DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT development)

# CMake package. The imported target is written by hand and located relative to the config file,
# so an installed tree can be moved; the build's own target keeps its source-tree include path.
file(RELATIVE_PATH _qx_up "/${_qx_cmakedir}" "/")
set(_qx_config "${CMAKE_CURRENT_BINARY_DIR}/quorixsdkConfig.cmake")
file(CONFIGURE OUTPUT ${_qx_config} CONTENT [=[
# quorixsdk CMake package: find_package(quorixsdk) gives the imported target quorixsdk::quorixsdk.
get_filename_component(_quorixsdk_prefix "${CMAKE_CURRENT_LIST_DIR}/@_qx_up@" ABSOLUTE)
if(NOT TARGET quorixsdk::quorixsdk)
  add_library(quorixsdk::quorixsdk SHARED IMPORTED)
  set_target_properties(quorixsdk::quorixsdk PROPERTIES
    IMPORTED_LOCATION "${_quorixsdk_prefix}/@CMAKE_INSTALL_LIBDIR@/libquorixsdk.so.@PROJECT_VERSION@"
    IMPORTED_SONAME "libquorixsdk.so.@PROJECT_VERSION_MAJOR@"
    INTERFACE_INCLUDE_DIRECTORIES "${_quorixsdk_prefix}/@CMAKE_INSTALL_INCLUDEDIR@/quorixsdk")
endif()
set(quorixsdk_INCLUDE_DIRS "${_quorixsdk_prefix}/@CMAKE_INSTALL_INCLUDEDIR@/quorixsdk")
set(quorixsdk_LIBRARIES quorixsdk::quorixsdk)
unset(_quorixsdk_prefix)
]=] @ONLY)
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/quorixsdkConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${_qx_config} ${CMAKE_CURRENT_BINARY_DIR}/quorixsdkConfigVersion.cmake
  DESTINATION ${_qx_cmakedir} COMPONENT development)

# Tools, found from bin/ through ../lib.
foreach(_qx_tool quorix-play quorix-mux quorix-info)
  if(TARGET ${_qx_tool})
    set_property(TARGET ${_qx_tool} PROPERTY INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")
    install(TARGETS ${_qx_tool} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
  endif()
endforeach()

install(FILES ${PROJECT_SOURCE_DIR}/examples/host.c DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples
  COMPONENT development)
