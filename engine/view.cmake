add_library(voxa_view STATIC view.cpp selection.cpp)
target_link_libraries(voxa_view PUBLIC voxa_platform)

add_executable(view_test view_test.cpp)
target_link_libraries(view_test PRIVATE voxa_view voxa_testsupport GTest::gtest_main)
gtest_discover_tests(view_test DISCOVERY_TIMEOUT 60)
