#ifndef TAVENOOK_TESTS_SUPPORT_WAITS_H
#define TAVENOOK_TESTS_SUPPORT_WAITS_H

// Every test program includes this first (the build puts it in front of
// each source). Tests wait for events, never for a time, and how long an
// event takes depends on how busy the machine is: Qt's QTRY_* without a
// time wait 5 s, which a loaded machine running the sanitizer build misses.
// Here they wait up to kTestWaitMs; a passing check waits no longer than
// before.

#include <QtTest/qtestcase.h>

constexpr int kTestWaitMs = 30000;

#undef QTRY_VERIFY
#undef QTRY_VERIFY2
#undef QTRY_COMPARE
#define QTRY_VERIFY(expr) QTRY_VERIFY_WITH_TIMEOUT((expr), kTestWaitMs)
#define QTRY_VERIFY2(expr, messageExpression) \
    QTRY_VERIFY2_WITH_TIMEOUT((expr), (messageExpression), kTestWaitMs)
#define QTRY_COMPARE(expr, expected) QTRY_COMPARE_WITH_TIMEOUT((expr), expected, kTestWaitMs)

#endif
