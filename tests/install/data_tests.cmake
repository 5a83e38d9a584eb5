tarvo_add_test(NAME install_user_data_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/user_data_test.cpp LIBS tarvo_install)
tarvo_add_test(NAME install_classifier_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/classifier_test.cpp LIBS tarvo_install)
