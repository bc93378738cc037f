tavenook_add_test(test_peer_payloads SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_peer_payloads.cpp)
