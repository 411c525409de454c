# The wall controller vw: movie groups and command line, the controller
# (one thread owning the panel connections), MP4 export, the dialog.
find_package(PkgConfig REQUIRED)
pkg_check_modules(VW_FFMPEG REQUIRED IMPORTED_TARGET libavcodec libavformat libavutil libswscale)
find_package(Qt6 REQUIRED COMPONENTS Widgets)

add_library(voxa_vw STATIC
  ${CMAKE_CURRENT_LIST_DIR}/vw_group.cpp
  ${CMAKE_CURRENT_LIST_DIR}/vw_wall.cpp
  ${CMAKE_CURRENT_LIST_DIR}/vw_export.cpp
  ${CMAKE_CURRENT_LIST_DIR}/vw_play.cpp
)
target_link_libraries(voxa_vw PUBLIC voxa_hosting voxa_platform voxa_spool PkgConfig::VW_FFMPEG Threads::Threads)

add_library(voxa_vw_dialog STATIC ${CMAKE_CURRENT_LIST_DIR}/vw_dialog.cpp)
set_target_properties(voxa_vw_dialog PROPERTIES AUTOMOC ON)
target_link_libraries(voxa_vw_dialog PUBLIC voxa_vw Qt6::Widgets)

add_executable(vw ${CMAKE_CURRENT_LIST_DIR}/vw_main.cpp)
target_link_libraries(vw PRIVATE voxa_vw_dialog)

# Screenshots of the wall's X display (demo, tests).
find_package(X11 REQUIRED)
find_package(PNG REQUIRED)
add_library(voxa_vw_screen STATIC ${CMAKE_CURRENT_LIST_DIR}/vw_screen.cpp)
target_link_libraries(voxa_vw_screen PUBLIC voxa_platform X11::X11 PNG::PNG)
add_executable(vw_shot ${CMAKE_CURRENT_LIST_DIR}/vw_shot_main.cpp)
target_link_libraries(vw_shot PRIVATE voxa_vw_screen)

# Test stand-in of a movie server.
add_library(voxa_vw_fake STATIC ${CMAKE_CURRENT_LIST_DIR}/vw_fake_panel.cpp)
target_link_libraries(voxa_vw_fake PUBLIC voxa_vw voxa_interfaces Threads::Threads)

add_executable(vw_test
  ${CMAKE_CURRENT_LIST_DIR}/vw_group_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/vw_wall_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/vw_export_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/vw_dialog_test.cpp
)
target_link_libraries(vw_test PRIVATE voxa_vw_dialog voxa_vw_fake voxa_testsupport GTest::gtest_main)
target_compile_definitions(vw_test PRIVATE VOXA_BIN_DIR="${CMAKE_RUNTIME_OUTPUT_DIRECTORY}")
add_dependencies(vw_test vw)
gtest_discover_tests(vw_test DISCOVERY_TIMEOUT 30 PROPERTIES ENVIRONMENT QT_QPA_PLATFORM=offscreen)

# Against the real movie server: skips while build/bin/reel1 does not exist.
add_executable(vw_reel_test ${CMAKE_CURRENT_LIST_DIR}/vw_reel_test.cpp)
target_link_libraries(vw_reel_test PRIVATE voxa_vw voxa_vw_dialog voxa_vw_screen voxa_testsupport GTest::gtest_main)
target_compile_definitions(vw_reel_test PRIVATE VOXA_BIN_DIR="${CMAKE_RUNTIME_OUTPUT_DIRECTORY}")
gtest_discover_tests(vw_reel_test DISCOVERY_TIMEOUT 30)
# Once the movie server is part of the build, the real-server tests build it
# first (checked when this directory is done, wherever reel1 is defined).
function(voxa_vw_reel_dependency)
  if(TARGET reel1)
    add_dependencies(vw_reel_test reel1)
  endif()
endfunction()
cmake_language(DEFER DIRECTORY ${CMAKE_SOURCE_DIR} CALL voxa_vw_reel_dependency)
