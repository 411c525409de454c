# Render context: request block and view key, colour table, options and
# status, GL window (EGL + X11, headless framebuffer), palette stand-in,
# image files, the render work operations. voxa_engine is the library the
# programs link; it also carries the brick store and the slice passes when
# those areas are built.

find_package(OpenGL REQUIRED COMPONENTS OpenGL EGL)
find_package(X11 REQUIRED)
find_package(PNG REQUIRED)
find_library(VOXA_GLU_LIBRARY NAMES GLU REQUIRED)

add_library(voxa_context STATIC
  render_request.cpp
  render_work.cpp
  color_table.cpp
  options.cpp
  pixel_files.cpp
  gl_window.cpp
  gl_palette.cpp
  render_context.cpp
)
target_link_libraries(voxa_context
  PUBLIC voxa_timers voxa_platform OpenGL::OpenGL OpenGL::EGL ${VOXA_GLU_LIBRARY}
  PRIVATE X11::X11 PNG::PNG)

add_library(voxa_engine INTERFACE)
target_link_libraries(voxa_engine INTERFACE voxa_context voxa_timers)
foreach(area voxa_bricks voxa_slices)
  if(TARGET ${area})
    target_link_libraries(voxa_engine INTERFACE ${area})
  endif()
endforeach()

# Tests without a display use the surfaceless EGL platform; the window
# tests start a private Xvfb of their own.
add_executable(context_test
  render_request_test.cpp
  color_table_test.cpp
  options_test.cpp
  render_work_test.cpp
  pixel_files_test.cpp
  render_context_test.cpp
  gl_window_test.cpp
  ${VOXA_X11_TEST_SANITIZER_SOURCES}
)
target_link_libraries(context_test PRIVATE voxa_context voxa_testsupport X11::X11
  GTest::gtest_main)
target_compile_definitions(context_test PRIVATE
  VOXA_SCRIPTS_DIR="${VOXA_SCRIPTS_DIR}"
  VOXA_BIN_DIR="${CMAKE_RUNTIME_OUTPUT_DIRECTORY}")
gtest_discover_tests(context_test DISCOVERY_TIMEOUT 60
  PROPERTIES ENVIRONMENT "EGL_PLATFORM=surfaceless")
