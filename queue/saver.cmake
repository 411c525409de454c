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
