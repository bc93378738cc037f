tavenook_add_test(test_search_parser SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_search_parser.cpp)
