# CPU de-warping: geometry against the independent projection formulas, remap tables, the remap
# kernel (vector against plain, colour against swscale, a whole view against libavfilter's v360).
quorix_add_gtest(dewarp_geometry
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/dewarp_geometry.cpp
          ${CMAKE_CURRENT_LIST_DIR}/support/projection_reference.cpp
  LIBS quorix_dewarp
  LABELS dewarp)
quorix_add_gtest(dewarp_kernel
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/dewarp_kernel.cpp ${CMAKE_CURRENT_LIST_DIR}/support/filter_graph.cpp
  LIBS quorix_dewarp PkgConfig::SWSCALE PkgConfig::AVFILTER PkgConfig::AVUTIL
  LABELS dewarp)
