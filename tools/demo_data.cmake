# The demo product database and the empty user data tables.
add_executable(tarvo-demo-data ${CMAKE_CURRENT_LIST_DIR}/demo_data.cpp)
target_link_libraries(tarvo-demo-data PRIVATE tarvo_db tarvo_platform tarvo_text)
