#pragma once

#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

#include <filesystem>
#include <functional>
#include <string>

/// Helpers every test shares: where the built program is, and how to run it.
namespace testenv {

/// The built marlox binary (from the environment ctest sets, else the build folder).
QString marloxBinary();

struct RunResult
{
    int exitCode = -1;
    QProcess::ExitStatus exitStatus = QProcess::CrashExit;
    QByteArray standardOutput;
    QByteArray standardError;
    bool finished = false;
};

/// Runs `program` with `arguments` to its end (at most `timeoutMs`), in `workdir` when given.
RunResult run(const QString &program, const QStringList &arguments,
              const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment(),
              const QString &workdir = QString(), int timeoutMs = 60000);

struct Started
{
    bool reached = false;
    QByteArray standardError;
};

/// Starts `program`, asks `reached` every 20 ms (with the process id and what it wrote on
/// standard error so far) until it holds, the program ends or a minute passes, then stops it.
Started startUntil(const QString &program, const QStringList &arguments,
                   const QProcessEnvironment &environment,
                   const std::function<bool(qint64 pid, const QByteArray &standardError)> &reached);

/// An environment whose HOME and XDG folders point into `root`, so that the program under
/// test never touches the real user's settings.
QProcessEnvironment isolatedEnvironment(const QString &root);

/// Waits until the log file `logFile` of the running `program` holds one of `needles`, the
/// program ends, or `timeoutMs` passes (woken by changes to the file, not by polling);
/// returns the log as it is then.
QByteArray waitForLog(QProcess &program, const QString &logFile, const QList<QByteArray> &needles,
                      int timeoutMs = 60000);

/// Writes `bytes` to `path`, creating parent folders; false on any failure.
bool writeFile(const std::filesystem::path &path, const QByteArray &bytes);
/// Reads a whole file; an empty array when it cannot be read.
QByteArray readFile(const std::filesystem::path &path);

} // namespace testenv

namespace testenv {

/// An X server of our own (Xvfb) for tests that need a real window system: answering a
/// message box of the real binary, taking screenshots. Stops the server when destroyed.
class VirtualDisplay
{
public:
    VirtualDisplay();
    ~VirtualDisplay();
    VirtualDisplay(const VirtualDisplay &) = delete;
    VirtualDisplay &operator=(const VirtualDisplay &) = delete;

    /// False when Xvfb is not installed or did not start; `whyNot()` says which.
    bool isRunning() const { return !m_display.isEmpty(); }
    QString whyNot() const { return m_whyNot; }
    /// ":N", for DISPLAY.
    QString display() const { return m_display; }

    /// Waits up to `timeoutMs` for a window with exactly this title; its X id or empty.
    QString waitForWindow(const QString &title, int timeoutMs = 20000) const;

private:
    QProcess m_server;
    QString m_display;
    QString m_whyNot;
};

} // namespace testenv
