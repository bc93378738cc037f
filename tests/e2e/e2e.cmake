# Two driver processes meeting through the in-process loopback server.
tavenook_add_test(test_e2e SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_e2e.cpp
    LIBS tavenook_testsupport)
target_compile_definitions(test_e2e PRIVATE TAVENOOK_DRIVER="$<TARGET_FILE:tavenook-driver>")
add_dependencies(test_e2e tavenook-driver)
