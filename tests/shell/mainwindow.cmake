tavenook_add_test(test_mainwindow GUI SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_mainwindow.cpp
    LIBS tavenook_testsupport)
# The layout test reads the sources; the build knows where they are.
target_compile_definitions(test_mainwindow PRIVATE TAVENOOK_SOURCE_DIR="${PROJECT_SOURCE_DIR}/src")
# The save at exit is checked on the real programs too.
if(TARGET tavenook)
    target_compile_definitions(test_mainwindow PRIVATE TAVENOOK_CLIENT="$<TARGET_FILE:tavenook>"
        TAVENOOK_DRIVER="$<TARGET_FILE:tavenook-driver>")
    add_dependencies(test_mainwindow tavenook tavenook-driver)
endif()

# The real program under Xvfb; skipped only where Xvfb is not installed.
if(TARGET tavenook)
    add_test(NAME realwindow COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/realwindow.sh
        $<TARGET_FILE:tavenook> $<TARGET_FILE:tavenook-testserver>)
    set_tests_properties(realwindow PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 300)
endif()
