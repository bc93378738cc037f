# The program's main window driven by a user's clicks and keys, on an X
# display that window.sh starts; its screenshots stay in the build folder.
add_executable(test_window_e2e ${CMAKE_CURRENT_LIST_DIR}/test_window_e2e.cpp)
target_include_directories(test_window_e2e PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
tavenook_test_waits(test_window_e2e)
target_link_libraries(test_window_e2e PRIVATE tavenook_gui tavenook_testsupport Qt5::Test)
target_compile_definitions(test_window_e2e PRIVATE TAVENOOK_DRIVER="$<TARGET_FILE:tavenook-driver>")
add_dependencies(test_window_e2e tavenook-driver)
add_test(NAME window_e2e COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/window.sh
    $<TARGET_FILE:test_window_e2e> ${CMAKE_CURRENT_BINARY_DIR}/window-shots)
set_tests_properties(window_e2e PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 600
    ENVIRONMENT "TAVENOOK_NO_UPNP=1;TAVENOOK_UPDATE_URL=http://127.0.0.1:9/qtversion.txt;UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1")
