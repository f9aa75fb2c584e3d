# vx_test(NAME <name> SOURCES <files...> LIBS <targets...> [TIMEOUT <s>] [LABELS <l...>])
# One GoogleTest executable registered as one CTest test. GUI tests run offscreen,
# and every test gets its own XDG folders so that nothing touches the user's.
find_package(GTest REQUIRED)

function(vx_test)
  cmake_parse_arguments(T "" "NAME;TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main GTest::gmock Threads::Threads)
  set(home ${CMAKE_CURRENT_BINARY_DIR}/${T_NAME}.home)
  file(MAKE_DIRECTORY ${home}/config ${home}/runtime)
  add_test(NAME ${T_NAME} COMMAND ${T_NAME})
  set_tests_properties(${T_NAME} PROPERTIES
    TIMEOUT ${T_TIMEOUT}
    LABELS "${T_LABELS}"
    ENVIRONMENT "QT_QPA_PLATFORM=offscreen;XDG_CONFIG_HOME=${home}/config;XDG_RUNTIME_DIR=${home}/runtime")
endfunction()
