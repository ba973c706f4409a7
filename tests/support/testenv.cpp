#include "support/testenv.h"

#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTimer>

#include <algorithm>

#include <system_error>

namespace testenv {

QString marloxBinary()
{
    const QString fromEnv = qEnvironmentVariable("MARLOX_BINARY");
    if (!fromEnv.isEmpty())
        return fromEnv;
    return MARLOX_BINARY_DIR "/bin/marlox";
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
    QDir(root).mkpath("home");
    QDir(root).mkpath("tmp");
    for (const char *name : {"HOME=home", "XDG_CONFIG_HOME=config", "XDG_DATA_HOME=data",
                             "XDG_CACHE_HOME=cache", "TMPDIR=tmp"}) {
        const QString pair = QString::fromLatin1(name);
        env.insert(pair.section('=', 0, 0), root + '/' + pair.section('=', 1));
    }
    env.insert("XDG_RUNTIME_DIR", root);
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

VirtualDisplay::VirtualDisplay()
{
    const QString xvfb = QStandardPaths::findExecutable("Xvfb");
    if (xvfb.isEmpty() || QStandardPaths::findExecutable("xdotool").isEmpty()) {
        m_whyNot = "Xvfb and xdotool must be installed (Debian packages xvfb, xdotool)";
        return;
    }
    // -displayfd lets the server pick a free display number and tell us which.
    m_server.start(xvfb, QString("-displayfd 1 -screen 0 1280x800x24 -nolisten tcp").split(' '));
    QByteArray number;
    QElapsedTimer timer;
    timer.start();
    while (m_server.waitForStarted() && !number.contains('\n') && timer.elapsed() < 20000 &&
           m_server.state() == QProcess::Running) {
        m_server.waitForReadyRead(500);
        number += m_server.readAllStandardOutput();
    }
    if (number.contains('\n'))
        m_display = ':' + QString::fromLatin1(number.trimmed());
    else
        m_whyNot = "Xvfb did not start or did not report its display number";
}

VirtualDisplay::~VirtualDisplay()
{
    m_server.terminate();
    if (m_server.state() != QProcess::NotRunning && !m_server.waitForFinished(5000)) {
        m_server.kill();
        m_server.waitForFinished();
    }
}

static RunResult xdotool(const QString &display, const QStringList &arguments, int timeoutMs)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("DISPLAY", display);
    return run("xdotool", arguments, env, QString(), timeoutMs);
}

QString VirtualDisplay::waitForWindow(const QString &title, int timeoutMs) const
{
    // xdotool waits for the window itself; the run's time limit bounds the wait.
    const RunResult found = xdotool(
        m_display, {"search", "--sync", "--name", '^' + QRegularExpression::escape(title) + '$'},
        timeoutMs);
    const QList<QByteArray> ids = found.standardOutput.trimmed().split('\n');
    if (found.finished && found.exitCode == 0 && !ids.last().isEmpty())
        return QString::fromLatin1(ids.last());
    return {};
}

} // namespace testenv
