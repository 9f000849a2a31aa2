# SDK frame: the public C interface through libquorixsdk.so, the application object through the
# static libraries, the external renderer loader against a test double, and the public header.

set(_sdk_dir ${CMAKE_CURRENT_LIST_DIR})
set(_sdk_out ${CMAKE_CURRENT_BINARY_DIR})

# The public interface, as a host sees it.
quorix_add_gtest(sdk_api
  SOURCES ${_sdk_dir}/sdk_api.cpp ${_sdk_dir}/support/player_media.cpp
          ${_sdk_dir}/support/container_builder.cpp
  LIBS quorixsdk quorix_test_media ${CMAKE_DL_LIBS}
  LABELS sdk)

# The numbers the header documents, read back from the library's behaviour (the region origin
# on the test X server, each test in a process of its own: the render mode is one-way).
quorix_add_gtest(sdk_reference
  SOURCES ${_sdk_dir}/sdk_reference.cpp ${_sdk_dir}/support/view_support.cpp
          ${_sdk_dir}/support/player_media.cpp ${_sdk_dir}/support/container_builder.cpp
  LIBS quorixsdk quorix_test_media PkgConfig::GL PkgConfig::EGL PkgConfig::X11XCB PkgConfig::XCB
  LABELS sdk
  XSERVER)
target_compile_definitions(sdk_reference PRIVATE
  QUORIX_TEST_INCLUDE_DIR="${PROJECT_SOURCE_DIR}/include")

# The inside: configuration, application object, render mode. Built into a folder of its own
# because the tests put a quorixsdk.ini beside the executable (the library's own directory when
# the frame is linked statically); its cases write and remove that one file, so they take turns.
quorix_add_gtest(sdk_app
  SOURCES ${_sdk_dir}/sdk_app.cpp
  LIBS quorix_sdk
  LABELS sdk
  LOCK sdk_app_ini)
set_target_properties(sdk_app PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${_sdk_out}/sdk_app)

# The external panorama renderer double (tests/pano_double.cmake): decorated entry names, plain
# names, and decorated names with entries missing.
quorix_add_pano_double(pano_double_decorated ${_sdk_out}/pano_decorated PANO_DOUBLE_DECORATED)
quorix_add_pano_double(pano_double_plain ${_sdk_out}/pano_plain)
quorix_add_pano_double(pano_double_partial ${_sdk_out}/pano_partial PANO_DOUBLE_DECORATED PANO_DOUBLE_PARTIAL)

# One loader suite per variant, each built beside its double (or alone, for the missing library),
# because the library looks for the renderer in its own directory.
foreach(_variant decorated plain partial missing)
  string(TOUPPER ${_variant} _variant_upper)
  quorix_add_gtest(sdk_gpano_${_variant}
    SOURCES ${_sdk_dir}/sdk_gpano.cpp
    LIBS quorix_sdk ${CMAKE_DL_LIBS}
    LABELS sdk)
  target_compile_definitions(sdk_gpano_${_variant} PRIVATE PANO_VARIANT_${_variant_upper}=1
    QUORIX_SDK_FILE="$<TARGET_FILE:quorixsdk>" QUORIX_SDK_SONAME="$<TARGET_SONAME_FILE_NAME:quorixsdk>")
  # The shared library is copied into the loader cases' own directories.
  add_dependencies(sdk_gpano_${_variant} quorixsdk)
  set_target_properties(sdk_gpano_${_variant} PROPERTIES
    RUNTIME_OUTPUT_DIRECTORY ${_sdk_out}/pano_${_variant})
  if(TARGET pano_double_${_variant})
    add_dependencies(sdk_gpano_${_variant} pano_double_${_variant})
  endif()
endforeach()

# The public header compiles on its own as C11 and as C++ (oldest and newest standard we claim)
# with pedantic warnings as errors.
add_test(NAME sdk_header_c11
  COMMAND ${CMAKE_C_COMPILER} -std=c11 -Wall -Wextra -Wpedantic -Werror -fsyntax-only
          -I${PROJECT_SOURCE_DIR}/include ${_sdk_dir}/sdk_header_check.c)
foreach(_std c++11 c++20)
  add_test(NAME sdk_header_${_std}
    COMMAND ${CMAKE_CXX_COMPILER} -std=${_std} -Wall -Wextra -Wpedantic -Werror -fsyntax-only
            -I${PROJECT_SOURCE_DIR}/include -x c++ ${_sdk_dir}/sdk_header_check.c)
endforeach()
set_tests_properties(sdk_header_c11 sdk_header_c++11 sdk_header_c++20 PROPERTIES LABELS sdk)
# So do the codes header, on the include path the library's lower layers get (where quorixsdk.h
# is out of reach), and the container layout header.
foreach(_part codes_alone container)
  string(TOUPPER "SDK_CHECK_${_part}" _define)
  set(_include ${PROJECT_SOURCE_DIR}/include)
  if(_part STREQUAL "codes_alone")
    set(_include ${QUORIX_LOWER_INCLUDE_DIR})
  endif()
  add_test(NAME sdk_${_part}_c11
    COMMAND ${CMAKE_C_COMPILER} -std=c11 -Wall -Wextra -Wpedantic -Werror -fsyntax-only
            -D${_define} -I${_include} ${_sdk_dir}/sdk_header_check.c)
  set_tests_properties(sdk_${_part}_c11 PROPERTIES LABELS sdk)
  foreach(_std c++11 c++20)
    add_test(NAME sdk_${_part}_${_std}
      COMMAND ${CMAKE_CXX_COMPILER} -std=${_std} -Wall -Wextra -Wpedantic -Werror -fsyntax-only
              -D${_define} -I${_include} -x c++ ${_sdk_dir}/sdk_header_check.c)
    set_tests_properties(sdk_${_part}_${_std} PROPERTIES LABELS sdk)
  endforeach()
endforeach()

# The Python package (python/) against the library just built: pytest from the system's
# interpreter (Debian's python3-pytest and python3-numpy), media made by the built quorix-mux
# and by FFmpeg's command-line tool.
if(TARGET quorix-mux)
  add_test(NAME sdk_python
    COMMAND /usr/bin/python3 -m pytest -q -p no:cacheprovider ${PROJECT_SOURCE_DIR}/python/tests
    WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})
  set_tests_properties(sdk_python PROPERTIES
    LABELS "sdk;python"
    TIMEOUT 600
    ENVIRONMENT "QUORIX_LIBRARY=$<TARGET_FILE:quorixsdk>;QUORIX_MUX=$<TARGET_FILE:quorix-mux>;QUORIX_INCLUDE_DIR=${PROJECT_SOURCE_DIR}/include;PYTHONPATH=${PROJECT_SOURCE_DIR}/python;PYTHONDONTWRITEBYTECODE=1")
endif()
