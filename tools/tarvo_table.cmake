# tarvo-table: the table engine's command-line tool.
add_executable(tarvo-table ${CMAKE_CURRENT_LIST_DIR}/tarvo_table.cpp)
target_link_libraries(tarvo-table PRIVATE tarvo_db)
target_include_directories(tarvo-table PRIVATE ${PROJECT_SOURCE_DIR})
if(WIN32)
  target_link_options(tarvo-table PRIVATE -municode)
endif()
