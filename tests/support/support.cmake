# Loopback stand-in for the central server, for tests and for trying two
# clients on one machine by hand.
add_library(tavenook_testsupport STATIC
    ${CMAKE_CURRENT_LIST_DIR}/TestServer.h
    ${CMAKE_CURRENT_LIST_DIR}/TestServer.cpp
    ${CMAKE_CURRENT_LIST_DIR}/RawPeer.h
    ${CMAKE_CURRENT_LIST_DIR}/RawPeer.cpp
    ${CMAKE_CURRENT_LIST_DIR}/FakeGateway.h
    ${CMAKE_CURRENT_LIST_DIR}/FakeGateway.cpp)
target_include_directories(tavenook_testsupport PUBLIC ${CMAKE_CURRENT_LIST_DIR}/..)
target_link_libraries(tavenook_testsupport PUBLIC tavenook_core Qt5::Network)

add_executable(tavenook-testserver ${CMAKE_CURRENT_LIST_DIR}/testserver_main.cpp)
target_link_libraries(tavenook-testserver PRIVATE tavenook_testsupport)

tavenook_add_test(test_testserver SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_testserver.cpp
    LIBS tavenook_testsupport)

tavenook_add_test(test_rawpeer SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_rawpeer.cpp
    LIBS tavenook_testsupport)

# One client without a window, driven over stdin and stdout.
add_executable(tavenook-driver ${CMAKE_CURRENT_LIST_DIR}/driver_main.cpp)
target_link_libraries(tavenook-driver PRIVATE tavenook_core)
target_include_directories(tavenook-driver PRIVATE ${CMAKE_CURRENT_LIST_DIR}/..)
