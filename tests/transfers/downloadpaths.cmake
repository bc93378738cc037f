tavenook_add_test(test_download_paths SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_download_paths.cpp)
