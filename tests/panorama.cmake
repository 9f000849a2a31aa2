# OpenGL panorama renderer: context, render thread, video sources (headless on EGL pbuffers;
# the windowed cases draw on the Xvfb display that scripts/test exports as QUORIX_TEST_DISPLAY).
quorix_add_gtest(panorama_core_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/panorama_core_context.cpp
          ${CMAKE_CURRENT_LIST_DIR}/panorama_core_source.cpp
          ${CMAKE_CURRENT_LIST_DIR}/panorama_core_render.cpp
  LIBS quorix_panorama PkgConfig::EGL PkgConfig::GL PkgConfig::X11XCB
  LABELS gl XSERVER)

# ---- GL-VIEWS targets ----
# --- views ---
# Region and view mathematics (no context), and regions drawn headless checked against the CPU
# reference of the shader formulas.
quorix_add_gtest(panorama_views_math
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/panorama_views_math.cpp
  LIBS quorix_panorama)
quorix_add_gtest(panorama_views_render
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/panorama_views_render.cpp
          ${CMAKE_CURRENT_SOURCE_DIR}/support/projection_reference.cpp
  LIBS quorix_panorama
  LABELS gl)
quorix_add_gtest(panorama_views_region
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/panorama_views_region.cpp
          ${CMAKE_CURRENT_SOURCE_DIR}/support/projection_reference.cpp
  LIBS quorix_panorama
  LABELS gl)
# ---- end GL-VIEWS ----
