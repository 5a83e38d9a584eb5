# Whole runs with the product's table work on a small demo, and the fault-injection sweep.
if(TARGET tarvo_install AND TARGET tarvo_demo_data)
  tarvo_add_test(NAME install_whole_run_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/whole_run_test.cpp ${CMAKE_CURRENT_LIST_DIR}/demo_install.cpp
            ${CMAKE_CURRENT_LIST_DIR}/../archive/zip_test_util.cpp
    LIBS tarvo_install tarvo_demo_data)
endif()
if(TARGET tarvo_install AND TARGET tarvo_demo_data)
  tarvo_add_test(NAME install_fault_sweep_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/fault_sweep_test.cpp ${CMAKE_CURRENT_LIST_DIR}/demo_install.cpp
            ${CMAKE_CURRENT_LIST_DIR}/../archive/zip_test_util.cpp
    LIBS tarvo_install tarvo_demo_data)
endif()
if(TARGET tarvo_install AND TARGET tarvo_demo_data)
  tarvo_add_test(NAME install_fault_points_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/fault_points_test.cpp ${CMAKE_CURRENT_LIST_DIR}/demo_install.cpp
            ${CMAKE_CURRENT_LIST_DIR}/../archive/zip_test_util.cpp
    LIBS tarvo_install tarvo_demo_data)
  if(CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
    target_compile_options(install_fault_points_test PRIVATE -Wno-missing-field-initializers)
  endif()
endif()
