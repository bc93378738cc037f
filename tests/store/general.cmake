tavenook_add_test(test_general SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_general.cpp)
tavenook_add_test(test_timers SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_timers.cpp)
tavenook_add_test(test_importer SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_importer.cpp)
