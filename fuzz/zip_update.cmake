if(TARGET tarvo_archive)
  tarvo_add_fuzzer(zip_update_fuzzer ${CMAKE_CURRENT_LIST_DIR}/zip_update_fuzzer.cpp
    tarvo_archive tarvo_platform tarvo_text)
endif()
