# The whole installation run, timed per stage (a plain program: one long run, not repetitions).
if(TARGET tarvo_install AND TARGET tarvo_demo_data)
  add_executable(install_run_bench
    ${CMAKE_CURRENT_LIST_DIR}/install_run_bench.cpp
    ${PROJECT_SOURCE_DIR}/tests/install/demo_install.cpp)
  target_link_libraries(install_run_bench PRIVATE tarvo_install tarvo_demo_data)
  target_include_directories(install_run_bench PRIVATE ${PROJECT_SOURCE_DIR})
endif()
