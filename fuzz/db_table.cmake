tarvo_add_fuzzer(db_table_fuzz ${CMAKE_CURRENT_LIST_DIR}/db_table_fuzz.cpp tarvo_db)
tarvo_add_fuzzer(db_filter_fuzz ${CMAKE_CURRENT_LIST_DIR}/db_filter_fuzz.cpp tarvo_db)
tarvo_add_fuzzer(db_tree_fuzz ${CMAKE_CURRENT_LIST_DIR}/db_tree_fuzz.cpp tarvo_db)
