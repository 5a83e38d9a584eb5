if(TARGET tarvo_archive)
  tarvo_add_fuzzer(zip_reader_fuzzer ${CMAKE_CURRENT_LIST_DIR}/zip_reader_fuzzer.cpp
    tarvo_archive tarvo_platform tarvo_text)
endif()
