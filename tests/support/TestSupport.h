// Helpers shared by every test executable.
#pragma once

#include <QString>
#include <gtest/gtest.h>

namespace testsupport {

// Folder of pictures made by others (../shared/testdata), or empty when it is absent.
// TAPESTRIX_TESTDATA in the environment overrides the configured place.
QString testDataDir();

// Full path of a file below the shared test data folder.
QString testData(const QString& relative);

// Folder where tests leave files for a person to look at (created on demand).
QString artefactDir(const QString& sub = QString());

// Set the Qt platform to offscreen unless one was chosen; called by the test mains.
void preferOffscreenPlatform();

} // namespace testsupport

// Skips the current test with a clear message when the shared test data is absent.
#define REQUIRE_TESTDATA()                                                                         \
    do {                                                                                           \
        if (testsupport::testDataDir().isEmpty())                                                  \
            GTEST_SKIP() << "shared test data folder not found (set TAPESTRIX_TESTDATA)";          \
    } while (0)
