# The file-job daemon: copy jobs from the FileJobs table through getfile.
add_library(voxa_filejobd STATIC filejobd.cpp)
target_link_libraries(voxa_filejobd PUBLIC voxa_queue voxa_hosting voxa_platform)

add_executable(filejobd filejobd_main.cpp)
target_link_libraries(filejobd PRIVATE voxa_filejobd)

add_executable(filejobd_test filejobd_test.cpp)
target_link_libraries(filejobd_test PRIVATE voxa_filejobd voxa_queue_testsupport GTest::gtest_main)
target_compile_definitions(filejobd_test PRIVATE VOXA_BIN_DIR="${CMAKE_RUNTIME_OUTPUT_DIRECTORY}")
add_dependencies(filejobd_test filejobd getfile fileport_server)
add_test(NAME filejobd_test COMMAND filejobd_test)
set_tests_properties(filejobd_test PROPERTIES TIMEOUT 600)
