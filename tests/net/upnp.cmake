tavenook_add_test(test_upnp SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_upnp.cpp
    LIBS tavenook_testsupport)
