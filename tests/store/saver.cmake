tavenook_add_test(test_saver SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_saver.cpp)
tavenook_add_test(test_saver_fuzz SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_saver_fuzz.cpp)
tavenook_add_test(test_importer SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_importer.cpp)
