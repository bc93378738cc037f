tavenook_add_test(test_shell GUI SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_shell.cpp)

# The run command stopped by Ctrl+C; skipped only where Xvfb is not installed.
if(TARGET tavenook)
    add_test(NAME runstop COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/runstop.sh
        ${PROJECT_SOURCE_DIR} ${CMAKE_BINARY_DIR})
    # Its loopback server takes the default port 2242 that other tests point at.
    set_tests_properties(runstop PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 600 RUN_SERIAL TRUE)
endif()
