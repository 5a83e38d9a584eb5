# tarvo_add_test(NAME name SOURCES a.cpp ... LIBS lib ... [LABELS l ...] [WINE_ONLY] [NATIVE_ONLY])
# One test program per call; CTest runs it whole (through Wine when cross-compiling).
function(tarvo_add_test)
  cmake_parse_arguments(T "WINE_ONLY;NATIVE_ONLY" "NAME" "SOURCES;LIBS;LABELS;PROPERTIES" ${ARGN})
  if(T_WINE_ONLY AND NOT WIN32)
    return()
  endif()
  if(T_NATIVE_ONLY AND WIN32)
    return()
  endif()
  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main)
  target_include_directories(${T_NAME} PRIVATE ${PROJECT_SOURCE_DIR})
  add_test(NAME ${T_NAME} COMMAND ${T_NAME})
  set_tests_properties(${T_NAME} PROPERTIES
    ENVIRONMENT "TARVO_SOURCE_DIR=${PROJECT_SOURCE_DIR};TARVO_BINARY_DIR=${PROJECT_BINARY_DIR}"
    LABELS "${T_LABELS}" TIMEOUT 600)
  if(T_PROPERTIES)
    set_tests_properties(${T_NAME} PROPERTIES ${T_PROPERTIES})
  endif()
endfunction()

# tarvo_add_library(name SOURCES ... LIBS ...): a static library of the project.
function(tarvo_add_library name)
  cmake_parse_arguments(L "" "" "SOURCES;LIBS" ${ARGN})
  add_library(${name} STATIC ${L_SOURCES})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name} PUBLIC ${L_LIBS})
endfunction()
