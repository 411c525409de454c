# Overlay drawing: floor, grid, bounding box, colour bar, statistics plots
# and the bitmap label font, on top of the render context's GL window.
# Paths are spelled from this file's folder so the file can be included from
# anywhere.
set(VOXA_OVERLAY_DIR ${CMAKE_CURRENT_LIST_DIR})

add_library(voxa_overlay_gl STATIC
  ${VOXA_OVERLAY_DIR}/overlay_gl.cpp
  ${VOXA_OVERLAY_DIR}/bitmap_font.cpp
)
target_link_libraries(voxa_overlay_gl PUBLIC voxa_context voxa_slices)

add_executable(overlay_gl_test ${VOXA_OVERLAY_DIR}/overlay_gl_test.cpp
  ${VOXA_X11_TEST_SANITIZER_SOURCES})
target_link_libraries(overlay_gl_test PRIVATE voxa_overlay_gl voxa_testsupport
  GTest::gtest_main)
gtest_discover_tests(overlay_gl_test DISCOVERY_TIMEOUT 60
  PROPERTIES ENVIRONMENT "EGL_PLATFORM=surfaceless")
