#include "support/TestSupport.h"

#include <QDir>
#include <QFileInfo>
#include <cstdlib>

namespace testsupport {

QString testDataDir() {
    QString dir = qEnvironmentVariable("TAPESTRIX_TESTDATA");
    if (dir.isEmpty())
        dir = QStringLiteral(TAPESTRIX_TESTDATA_DIR);
    return QFileInfo(dir).isDir() ? QDir(dir).absolutePath() : QString();
}

QString testData(const QString& relative) { return testDataDir() + QLatin1Char('/') + relative; }

QString artefactDir(const QString& sub) {
    QString dir = QStringLiteral(TAPESTRIX_ARTEFACTS_DIR);
    if (!sub.isEmpty())
        dir += QLatin1Char('/') + sub;
    QDir().mkpath(dir);
    return dir;
}

void preferOffscreenPlatform() {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
}

} // namespace testsupport
