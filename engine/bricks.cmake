# Brick store: ZB files, brick table, test volume, brick cache and reader
# threads, brick preparation. CPU and disk only (no OpenGL).
add_library(voxa_bricks STATIC
  brick_table.cpp
  zb_file.cpp
  test_volume.cpp
  brick_reader.cpp
  brick_cache.cpp
  brick_store.cpp
)
target_link_libraries(voxa_bricks PUBLIC voxa_platform voxa_timers)

add_executable(bricks_test
  zb_file_test.cpp
  brick_cache_test.cpp
  brick_store_test.cpp
)
target_link_libraries(bricks_test PRIVATE voxa_bricks voxa_testsupport GTest::gtest_main)
gtest_discover_tests(bricks_test DISCOVERY_TIMEOUT 60)

# Benchmark driver (bench/brick_bench.sh runs it against dd).
add_executable(brick_bench ${CMAKE_SOURCE_DIR}/bench/brick_bench.cpp)
target_link_libraries(brick_bench PRIVATE voxa_bricks)
