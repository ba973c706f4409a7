// The real program on a real (virtual) X display with the sample reader: it must come up,
// show the reader's annotations and paint a window that is not blank.

#include "support/testenv.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QSet>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

namespace {

// A blank or black window has a handful of colours; text, icons and highlight colours give
// hundreds.
int colourCount(const QImage &image)
{
    QSet<QRgb> colours;
    for (int y = 0; y < image.height(); y += 2) {
        for (int x = 0; x < image.width(); x += 2)
            colours.insert(image.pixel(x, y));
    }
    return colours.size();
}

} // namespace

class tst_screenshot : public QObject
{
    Q_OBJECT

private slots:
    void sampleReader_windowShowsAnnotations()
    {
        testenv::VirtualDisplay display;
        if (!display.isRunning())
            QSKIP(qPrintable(QStringLiteral("needs a virtual X display: ") + display.whyNot()));
        const QString importTool = QStandardPaths::findExecutable("import");
        if (importTool.isEmpty())
            QSKIP("needs ImageMagick's import (Debian package imagemagick) for the screenshot");

        // Portable mode keeps everything beside the program: run a copy in a folder of ours.
        QTemporaryDir root;
        const QString app = root.filePath("app"), program = app + "/marlox";
        QVERIFY(QDir().mkpath(app) && QFile::copy(testenv::marloxBinary(), program));
        const auto sample =
            testenv::run(QFileInfo(testenv::marloxBinary()).dir().filePath("marlox-sample-reader"),
                         {app + "/data"});
        QVERIFY2(sample.exitCode == 0, sample.standardError.constData());

        QProcessEnvironment env = testenv::isolatedEnvironment(root.path());
        env.insert("QT_QPA_PLATFORM", "xcb");
        env.insert("DISPLAY", display.display());
        QProcess marlox;
        marlox.setProcessEnvironment(env);
        marlox.start(program, {"-p", "--debug"});
        QVERIFY(marlox.waitForStarted());
        const QByteArray log = testenv::waitForLog(marlox, app + "/marlox_debug.log",
                                                   {"Finished sorting", "Failed populating"});
        QVERIFY2(!log.contains("Failed populating"), log.constData());
        const QString window = display.waitForWindow("Marlox " MARLOX_VERSION "  [Portable mode]");
        QVERIFY(!window.isEmpty());

        // The window may still be painting: take pictures until one shows it, within a bound.
        const QString shot = root.filePath("window.png");
        int colours = 0;
        for (QDeadlineTimer deadline(20000); colours <= 100 && !deadline.hasExpired();) {
            const auto taken = testenv::run(importTool, {"-window", window, shot}, env);
            QVERIFY2(taken.exitCode == 0, taken.standardError.constData());
            colours = colourCount(QImage(shot)); // none when it could not be read
        }
        marlox.kill();
        marlox.waitForFinished();
        QVERIFY2(colours > 100, qPrintable(QString::number(colours)));
    }
};

QTEST_GUILESS_MAIN(tst_screenshot)
#include "tst_screenshot.moc"
