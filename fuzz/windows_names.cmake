tarvo_add_fuzzer(windows_names_fuzzer ${CMAKE_CURRENT_LIST_DIR}/windows_names_fuzzer.cpp
  tarvo_archive tarvo_platform tarvo_text)
