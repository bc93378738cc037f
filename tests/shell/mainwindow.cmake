tavenook_add_test(test_mainwindow GUI SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_mainwindow.cpp
    LIBS tavenook_testsupport)

# The real program under Xvfb; skipped only where Xvfb is not installed.
if(TARGET tavenook)
    add_test(NAME realwindow COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/realwindow.sh
        $<TARGET_FILE:tavenook> $<TARGET_FILE:tavenook-testserver>)
    set_tests_properties(realwindow PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 300)
endif()
