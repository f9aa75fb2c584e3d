# vx_test(NAME <name> SOURCES <files...> LIBS <targets...> [QT_APP] [TIMEOUT <s>] [LABELS <l...>])
# One GoogleTest executable registered as one CTest test. With QT_APP its main
# creates a QApplication first. GUI tests run offscreen, and every test gets its
# own XDG folders so that nothing touches the user's.
find_package(GTest REQUIRED)

add_library(vxtest_qtmain STATIC ${PROJECT_SOURCE_DIR}/tests/support/qt_main.cpp)
target_link_libraries(vxtest_qtmain PUBLIC Qt6::Widgets GTest::gtest)

function(vx_test)
  cmake_parse_arguments(T "QT_APP" "NAME;TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  add_executable(${T_NAME} ${T_SOURCES})
  if(T_QT_APP)
    set(main vxtest_qtmain)
  else()
    set(main GTest::gtest_main)
  endif()
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} ${main} GTest::gtest GTest::gmock Threads::Threads)
  target_include_directories(${T_NAME} PRIVATE ${PROJECT_SOURCE_DIR}/tests/support)
  set(home ${CMAKE_CURRENT_BINARY_DIR}/${T_NAME}.home)
  file(MAKE_DIRECTORY ${home}/config ${home}/state ${home}/runtime)
  add_test(NAME ${T_NAME} COMMAND ${T_NAME})
  set_tests_properties(${T_NAME} PROPERTIES
    TIMEOUT ${T_TIMEOUT}
    LABELS "${T_LABELS}"
    ENVIRONMENT "QT_QPA_PLATFORM=offscreen;XDG_CONFIG_HOME=${home}/config;XDG_STATE_HOME=${home}/state;XDG_RUNTIME_DIR=${home}/runtime")
endfunction()
