tarvo_add_fuzzer(db_blob_fuzz ${CMAKE_CURRENT_LIST_DIR}/db_blob_fuzz.cpp tarvo_db)
