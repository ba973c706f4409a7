#include "core/debuglog.h"

#include <QByteArray>

#include <cerrno>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string &logPathStorage()
{
    static std::string path;
    return path;
}

bool writeAll(int fd, const QByteArray &bytes)
{
    const char *data = bytes.constData();
    auto left = static_cast<size_t>(bytes.size());
    while (left > 0) {
        const ssize_t written = ::write(fd, data, left);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += written;
        left -= static_cast<size_t>(written);
    }
    return true;
}

} // namespace

void setLogFilePath(const std::string &path)
{
    logPathStorage() = path;
}

std::string logFilePath()
{
    return logPathStorage();
}

const char *logLevelWord(int type)
{
    static const char *const words[] = {"Debug", "Warning", "Critical", "Fatal", "Info"};
    if (type < 0 || type > 4)
        return "?";
    return words[type];
}

QString formatLogLine(int type, const QString &time, const QString &message)
{
    if (type < 0 || type > 4)
        return {};
    return QStringLiteral("%1 %2: %3\n").arg(time, QLatin1String(logLevelWord(type)), message);
}

int openLogFile(const std::string &path)
{
    // The log has a fixed name in the shared temporary folder: a symbolic link planted
    // there by someone else must never make us truncate the file it points to, and a FIFO
    // or a device must not block start-up, so the open does not wait (a FIFO without a
    // reader fails at once) and anything but a regular file is refused afterwards.
    const int fd =
        ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK,
               S_IRUSR | S_IWUSR);
    if (fd < 0)
        return -1;
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        return -1;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    // A log left by an older version may be readable by others; it holds paths and names.
    ::fchmod(fd, S_IRUSR | S_IWUSR);
    return fd;
}

std::string currentTimeString(const char *format)
{
    char buffer[128];
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    const size_t length = std::strftime(buffer, sizeof buffer, format, &local);
    return std::string(buffer, length);
}

void fileMessageHandler(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    const QString line =
        formatLogLine(type, QString::fromStdString(currentTimeString("%H:%M:%S")), message);

    static const int fd = openLogFile(logPathStorage());
    if (fd < 0) {
        // Raised inside the handler, Qt prints this one on standard error itself.
        qWarning("Couldn't write to logfile");
        return;
    }
    if (line.isEmpty())
        return;
    writeAll(fd, qFormatLogMessage(type, context, line).toUtf8());
}

void silentMessageHandler(QtMsgType, const QMessageLogContext &, const QString &) {}
