# Our own client asking another as it does in normal use, all of it answered.
tavenook_add_test(test_e2e_requests SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_e2e_requests.cpp
    LIBS tavenook_testsupport)
target_compile_definitions(test_e2e_requests PRIVATE
    TAVENOOK_DRIVER="$<TARGET_FILE:tavenook-driver>")
add_dependencies(test_e2e_requests tavenook-driver)
