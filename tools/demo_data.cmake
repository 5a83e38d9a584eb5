# The demo product database and the empty user data tables: a library for the tests and the
# benchmark, and a command-line tool for the demo.
tarvo_add_library(tarvo_demo_data
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/demo_database.cpp
  LIBS tarvo_db tarvo_platform tarvo_text)
add_executable(tarvo-demo-data ${CMAKE_CURRENT_LIST_DIR}/demo_data.cpp)
target_link_libraries(tarvo-demo-data PRIVATE tarvo_demo_data tarvo_platform)
