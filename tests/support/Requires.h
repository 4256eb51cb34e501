#pragma once
#include <QtTest>

// What a test does when something it needs is missing: a program, a package's files, a
// permission of the machine. Outside CI it is skipped and the reason printed; in CI
// (the environment sets CI) it fails, because scripts/deps installs everything the tests
// need and a skip there would hide a check that never ran. Use it where QSKIP would go.
#define CALVAREX_MISSING(reason)                                                                                       \
    do {                                                                                                               \
        if (qEnvironmentVariableIsSet("CI"))                                                                           \
            QFAIL("missing in CI: " reason);                                                                           \
        QSKIP(reason);                                                                                                 \
    } while (0)
