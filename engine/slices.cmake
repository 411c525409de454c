# Slice passes, slice textures and overlay images: the CPU side, no OpenGL.
# Paths are spelled from this file's folder so the file can be included from
# anywhere.
set(VOXA_SLICES_DIR ${CMAKE_CURRENT_LIST_DIR})

add_library(voxa_slices STATIC
  ${VOXA_SLICES_DIR}/slice_plan.cpp
  ${VOXA_SLICES_DIR}/transpose.cpp
  ${VOXA_SLICES_DIR}/texels.cpp
  ${VOXA_SLICES_DIR}/overlay_images.cpp
)
target_link_libraries(voxa_slices PUBLIC voxa_platform)

add_executable(slices_test
  ${VOXA_SLICES_DIR}/slice_plan_test.cpp
  ${VOXA_SLICES_DIR}/slice_transpose_test.cpp
  ${VOXA_SLICES_DIR}/slice_texels_test.cpp
  ${VOXA_SLICES_DIR}/slice_overlay_test.cpp
)
target_link_libraries(slices_test PRIVATE voxa_slices voxa_testsupport GTest::gtest_main)
gtest_discover_tests(slices_test DISCOVERY_TIMEOUT 60)
