#include "support/testenv.h"

#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QTimer>

#include <algorithm>

#include <system_error>

namespace testenv {

QString marloxBinary()
{
    const QString fromEnv = qEnvironmentVariable("MARLOX_BINARY");
    if (!fromEnv.isEmpty())
        return fromEnv;
    return QStringLiteral(MARLOX_BINARY_DIR "/bin/marlox");
}

QString sourceDir()
{
    return QStringLiteral(MARLOX_SOURCE_DIR);
}

RunResult run(const QString &program, const QStringList &arguments,
              const QProcessEnvironment &environment, const QString &workdir, int timeoutMs)
{
    QProcess process;
    process.setProcessEnvironment(environment);
    if (!workdir.isEmpty())
        process.setWorkingDirectory(workdir);
    process.start(program, arguments);
    RunResult result;
    if (!process.waitForStarted())
        return result;
    result.finished = process.waitForFinished(timeoutMs);
    if (!result.finished) {
        process.kill();
        process.waitForFinished();
    }
    result.exitCode = process.exitCode();
    result.exitStatus = process.exitStatus();
    result.standardOutput = process.readAllStandardOutput();
    result.standardError = process.readAllStandardError();
    return result;
}

Started startUntil(const QString &program, const QStringList &arguments,
                   const QProcessEnvironment &environment,
                   const std::function<bool(qint64 pid, const QByteArray &standardError)> &reached)
{
    QProcess process;
    process.setProcessEnvironment(environment);
    process.start(program, arguments);
    Started started;
    if (!process.waitForStarted())
        return started;
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < 60000 && process.state() == QProcess::Running) {
        process.waitForReadyRead(20);
        started.standardError += process.readAllStandardError();
        if ((started.reached = reached(process.processId(), started.standardError)))
            break;
    }
    process.kill();
    process.waitForFinished();
    return started;
}

QProcessEnvironment isolatedEnvironment(const QString &root)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    QDir(root).mkpath(QStringLiteral("home"));
    env.insert(QStringLiteral("HOME"), root + QStringLiteral("/home"));
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), root + QStringLiteral("/config"));
    env.insert(QStringLiteral("XDG_DATA_HOME"), root + QStringLiteral("/data"));
    env.insert(QStringLiteral("XDG_CACHE_HOME"), root + QStringLiteral("/cache"));
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), root);
    env.insert(QStringLiteral("TMPDIR"), root + QStringLiteral("/tmp"));
    QDir(root).mkpath(QStringLiteral("tmp"));
    return env;
}

QByteArray waitForLog(QProcess &program, const QString &logFile, const QList<QByteArray> &needles,
                      int timeoutMs)
{
    QByteArray log;
    const auto done = [&] {
        log = readFile(logFile.toStdString());
        return program.state() != QProcess::Running ||
               std::any_of(needles.begin(), needles.end(),
                           [&log](const QByteArray &needle) { return log.contains(needle); });
    };
    if (done())
        return log;
    // The folder tells of the file's creation, the file of every write to it.
    QFileSystemWatcher watcher({QFileInfo(logFile).absolutePath()});
    QEventLoop loop;
    const auto check = [&] {
        if (!watcher.files().contains(logFile) && QFile::exists(logFile))
            watcher.addPath(logFile);
        if (done())
            loop.quit();
    };
    QObject::connect(&watcher, &QFileSystemWatcher::directoryChanged, &loop, check);
    QObject::connect(&watcher, &QFileSystemWatcher::fileChanged, &loop, check);
    QObject::connect(&program, &QProcess::stateChanged, &loop, check);
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    check();
    if (!done())
        loop.exec();
    return log;
}

bool writeFile(const std::filesystem::path &path, const QByteArray &bytes)
{
    std::error_code ec;
    if (path.has_parent_path())
        std::filesystem::create_directories(path.parent_path(), ec);
    QFile file(QString::fromStdString(path.string()));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    return file.write(bytes) == bytes.size();
}

QByteArray readFile(const std::filesystem::path &path)
{
    QFile file(QString::fromStdString(path.string()));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}

} // namespace testenv

#include <QElapsedTimer>
#include <QStandardPaths>
#include <QRegularExpression>

namespace testenv {

VirtualDisplay::VirtualDisplay()
{
    const QString xvfb = QStandardPaths::findExecutable(QStringLiteral("Xvfb"));
    if (xvfb.isEmpty()) {
        m_whyNot = QStringLiteral("Xvfb is not installed (Debian package xvfb)");
        return;
    }
    if (QStandardPaths::findExecutable(QStringLiteral("xdotool")).isEmpty()) {
        m_whyNot = QStringLiteral("xdotool is not installed (Debian package xdotool)");
        return;
    }
    // -displayfd lets the server pick a free display number and tell us which.
    m_server.start(xvfb,
                   {QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-screen"),
                    QStringLiteral("0"), QStringLiteral("1280x800x24"), QStringLiteral("-nolisten"),
                    QStringLiteral("tcp")});
    if (!m_server.waitForStarted()) {
        m_whyNot = QStringLiteral("Xvfb did not start");
        return;
    }
    QByteArray number;
    QElapsedTimer timer;
    timer.start();
    while (!number.contains('\n') && timer.elapsed() < 20000) {
        m_server.waitForReadyRead(500);
        number += m_server.readAllStandardOutput();
        if (m_server.state() != QProcess::Running)
            break;
    }
    if (!number.contains('\n')) {
        m_whyNot = QStringLiteral("Xvfb did not report its display number");
        return;
    }
    m_display = QStringLiteral(":") + QString::fromLatin1(number.trimmed());
}

VirtualDisplay::~VirtualDisplay()
{
    if (m_server.state() != QProcess::NotRunning) {
        m_server.terminate();
        if (!m_server.waitForFinished(5000)) {
            m_server.kill();
            m_server.waitForFinished();
        }
    }
}

namespace {

QProcessEnvironment displayEnvironment(const QString &display)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DISPLAY"), display);
    return env;
}

} // namespace

QString VirtualDisplay::waitForWindow(const QString &title, int timeoutMs) const
{
    // xdotool waits for the window itself; the run's time limit bounds the wait.
    const QString pattern =
        QStringLiteral("^") + QRegularExpression::escape(title) + QStringLiteral("$");
    const RunResult found =
        run(QStringLiteral("xdotool"),
            {QStringLiteral("search"), QStringLiteral("--sync"), QStringLiteral("--name"), pattern},
            displayEnvironment(m_display), QString(), timeoutMs);
    const QList<QByteArray> ids = found.standardOutput.trimmed().split('\n');
    if (found.finished && found.exitCode == 0 && !ids.isEmpty() && !ids.last().isEmpty())
        return QString::fromLatin1(ids.last());
    return {};
}

bool VirtualDisplay::pressKey(const QString &windowId, const QString &key) const
{
    const RunResult result = run(QStringLiteral("xdotool"),
                                 {QStringLiteral("windowfocus"), QStringLiteral("--sync"), windowId,
                                  QStringLiteral("key"), key},
                                 displayEnvironment(m_display), QString(), 10000);
    return result.finished && result.exitCode == 0;
}

} // namespace testenv
