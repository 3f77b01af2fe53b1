// Helpers shared by every test executable.
#pragma once

#include <QByteArray>
#include <QString>
#include <gtest/gtest.h>

#include <cstdint>

namespace testsupport {

// Little-endian numbers appended to bytes that tests assemble into files.
inline void Put16(QByteArray& b, uint16_t v) {
    b.append(char(v & 0xFF)).append(char(v >> 8));
}
inline void Put32(QByteArray& b, uint32_t v) {
    Put16(b, uint16_t(v & 0xFFFF));
    Put16(b, uint16_t(v >> 16));
}

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
