target_sources(tarvo_install PRIVATE ${CMAKE_CURRENT_LIST_DIR}/user_data.cpp ${CMAKE_CURRENT_LIST_DIR}/classifier.cpp)
