tavenook_add_test(test_shared_folders SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_shared_folders.cpp
    LIBS tavenook_testsupport)
tavenook_add_test(test_folder_answers SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_folder_answers.cpp
    LIBS tavenook_testsupport)
