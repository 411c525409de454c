# The frame pipeline: brick selection, reads, slice passes and overlays of
# one render, plugged into the render context as its frame function.
add_library(voxa_frame STATIC frame_pipeline.cpp slice_gl.cpp)
target_link_libraries(voxa_frame PUBLIC voxa_context voxa_bricks voxa_slices voxa_view
  voxa_overlay_gl ${VOXA_GLU_LIBRARY})
target_link_libraries(voxa_engine INTERFACE voxa_frame)

add_executable(frame_test frame_pipeline_test.cpp slice_gl_test.cpp)
target_link_libraries(frame_test PRIVATE voxa_frame voxa_zbmake voxa_tools voxa_testsupport GTest::gtest_main)
target_compile_definitions(frame_test PRIVATE VOXA_TEST_DISK_DIR="${CMAKE_BINARY_DIR}")
gtest_discover_tests(frame_test DISCOVERY_TIMEOUT 60
  PROPERTIES ENVIRONMENT "EGL_PLATFORM=surfaceless")
