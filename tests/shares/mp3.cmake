tavenook_add_test(test_mp3 SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_mp3.cpp)
