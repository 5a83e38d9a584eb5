# Whole runs with the product's table work on a small demo, and the fault-injection sweep: each
# test program shares the demo fixture.
if(TARGET tarvo_install AND TARGET tarvo_demo_data)
  foreach(_tarvo_test whole_run fault_sweep fault_points kill_sweep killed_run)
    tarvo_add_test(NAME install_${_tarvo_test}_test
      SOURCES ${CMAKE_CURRENT_LIST_DIR}/${_tarvo_test}_test.cpp
              ${CMAKE_CURRENT_LIST_DIR}/demo_install.cpp
              ${CMAKE_CURRENT_LIST_DIR}/../archive/zip_test_util.cpp
      LIBS tarvo_install tarvo_demo_data)
  endforeach()
  if(CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
    target_compile_options(install_fault_points_test PRIVATE -Wno-missing-field-initializers)
  endif()
endif()
