# The demo product's executables, with real version resources (FileVersion 7.2.5.0, b).
if(WIN32)
  enable_language(RC)
  foreach(exe Tarvo7 start7)
    set(DESCRIPTION "Tarvo Estimate 7 demo: ${exe}")
    configure_file(${CMAKE_CURRENT_LIST_DIR}/demo-product/version.rc.in
                   ${CMAKE_CURRENT_BINARY_DIR}/demo_${exe}.rc @ONLY)
    add_executable(demo_${exe} WIN32 ${CMAKE_CURRENT_LIST_DIR}/demo-product/product.c
                   ${CMAKE_CURRENT_BINARY_DIR}/demo_${exe}.rc)
    set_target_properties(demo_${exe} PROPERTIES OUTPUT_NAME ${exe}
                          RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/demo-product)
  endforeach()
endif()
