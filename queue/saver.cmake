# The screen-saver shell of the render node: the "Tumble" setting and its
# configure dialog (Qt Widgets over a Qt-free model), and the X11 shell that
# adopts or creates the saver window and drives the render context.
find_package(X11 REQUIRED)
find_package(Qt6 REQUIRED COMPONENTS Widgets Test)

add_library(voxa_saver_settings STATIC saver_settings.cpp)
target_link_libraries(voxa_saver_settings PUBLIC voxa_platform)

add_library(voxa_saver_shell STATIC saver_shell.cpp)
target_link_libraries(voxa_saver_shell PUBLIC voxa_saver_settings voxa_context PRIVATE X11::X11)

add_library(voxa_saver_dialog STATIC saver_config_dialog.cpp)
target_link_libraries(voxa_saver_dialog PUBLIC voxa_saver_settings Qt6::Widgets)

# Settings and shell: the core without a display (surfaceless EGL), the
# window tests with a private Xvfb each.
add_executable(saver_test saver_settings_test.cpp saver_shell_test.cpp
  ${VOXA_X11_TEST_SANITIZER_SOURCES})
target_link_libraries(saver_test PRIVATE voxa_saver_shell voxa_engine voxa_testsupport X11::X11
  GTest::gtest_main)
gtest_discover_tests(saver_test DISCOVERY_TIMEOUT 60)

add_executable(saver_dialog_test saver_config_dialog_test.cpp)
target_link_libraries(saver_dialog_test PRIVATE voxa_saver_dialog voxa_testsupport Qt6::Test
  GTest::gtest)
gtest_discover_tests(saver_dialog_test DISCOVERY_TIMEOUT 60
  PROPERTIES ENVIRONMENT "QT_QPA_PLATFORM=offscreen")

# The node in the saver window, and voxa_saver's desktop modes.
add_library(voxa_saver_desktop STATIC saver_desktop.cpp)
target_link_libraries(voxa_saver_desktop PUBLIC voxa_saver_shell voxa_queue_render)
target_link_libraries(voxa_saver PRIVATE voxa_saver_desktop voxa_saver_dialog)

# xgrab: a window as a PNG, for looking at the saver under Xvfb.
add_executable(xgrab xgrab_main.cpp)
target_link_libraries(xgrab PRIVATE voxa_saver_shell voxa_context X11::X11)

# The node in the saver window against a private queue database, and the
# program voxa_saver (SIGTERM mid-frame, arguments).
add_executable(saver_node_test saver_node_test.cpp ${VOXA_X11_TEST_SANITIZER_SOURCES})
target_link_libraries(saver_node_test PRIVATE voxa_saver_desktop voxa_queue_testsupport X11::X11
  GTest::gtest_main)
target_compile_definitions(saver_node_test PRIVATE VOXA_BIN_DIR="${CMAKE_RUNTIME_OUTPUT_DIRECTORY}")
add_dependencies(saver_node_test voxa_saver spool)
add_test(NAME saver_node_test COMMAND saver_node_test)
set_tests_properties(saver_node_test PROPERTIES TIMEOUT 600)
# Programs that each install a private MariaDB: mariadb-install-db runs of
# two programs at the same moment can trip over each other's temporary
# tables, so ctest runs these programs one after the other.
foreach(db_test saver_node_test queue_test farm_test)
  if(TEST ${db_test})
    set_tests_properties(${db_test} PROPERTIES RESOURCE_LOCK voxa_private_mariadb)
  endif()
endforeach()
