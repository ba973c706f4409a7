#include "mainwindow/updatecheck.h"

#include <QHostAddress>

namespace updatecheck {

bool isLoopback(const QUrl &url)
{
    const QString host = url.host();
    if (host.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0)
        return true;
    const QHostAddress address(host);
    return !address.isNull() && address.isLoopback();
}

QUrl manifestUrl(const QString &configured, const QString &override)
{
    QUrl url(configured, QUrl::StrictMode);
    if (!override.isEmpty()) {
        const QUrl candidate(override, QUrl::StrictMode);
        if (candidate.isValid() && isLoopback(candidate))
            url = candidate;
    }
    if (!url.isValid() || url.host().isEmpty())
        return {};
    const QString scheme = url.scheme().toLower();
    if (scheme == QLatin1String("https") || (scheme == QLatin1String("http") && isLoopback(url)))
        return url;
    return {};
}

std::optional<std::array<int, 4>> parseManifest(const QByteArray &bytes)
{
    if (bytes.size() > manifestLimit)
        return std::nullopt;
    std::array<int, 4> numbers{0, 0, 0, 0};
    int pos = 0;
    for (int part = 0; part < 4; ++part) {
        int digits = 0;
        int value = 0;
        while (pos < bytes.size() && bytes[pos] >= '0' && bytes[pos] <= '9') {
            if (++digits > 5)
                return std::nullopt;
            value = value * 10 + (bytes[pos] - '0');
            ++pos;
        }
        if (digits == 0 || pos >= bytes.size())
            return std::nullopt;
        const char separator = part < 3 ? '.' : ';';
        if (bytes[pos] != separator)
            return std::nullopt;
        ++pos;
        numbers[size_t(part)] = value;
    }
    return numbers;
}

bool isNewer(const std::array<int, 4> &candidate, const std::array<int, 4> &own)
{
    return candidate > own; // lexicographic: major, minor, revision, build
}

QString versionText(const std::array<int, 4> &n)
{
    return QStringLiteral("%1.%2.%3.%4").arg(n[0]).arg(n[1]).arg(n[2]).arg(n[3]);
}

qint64 intervalSeconds(int interval)
{
    return interval == 1 ? 14 * day : 28 * day;
}

bool checkDue(qint64 now, qint64 lastupdate, int interval)
{
    const qint64 elapsed = now - lastupdate;
    return !(elapsed > -day && elapsed < intervalSeconds(interval));
}

StartupAction startupAction(int storedInterval, bool settingsReadable)
{
    if (storedInterval == 0)
        return StartupAction::None;
    if (storedInterval == 1 || storedInterval == 2)
        return StartupAction::Check;
    return settingsReadable ? StartupAction::AskPermission : StartupAction::None;
}

Outcome evaluate(const Reply &reply, const std::array<int, 4> &own, updateMode mode,
                 qint64 now, int interval, const QString &websiteURL)
{
    Outcome out;
    const qint64 retryBase = now - intervalSeconds(interval);
    // A reply cut off at the size limit was aborted by us: it is malformed, not a failure.
    if (reply.tooLarge || (reply.networkError == 0 && reply.httpStatus == 200)) {
        const std::optional<std::array<int, 4>> version =
            reply.tooLarge ? std::nullopt : parseManifest(reply.body);
        if (!version) {
            out.kind = Outcome::Malformed;
            out.message = QStringLiteral("Malformed update manifest");
            if (mode == manual) {
                out.boxText = QStringLiteral("Malformed update manifest. Stopping updatecheck");
            } else {
                // Without a box at every start: the next automatic try comes three days later.
                out.lastupdate = retryBase + 3 * day;
            }
            return out;
        }
        out.newVersion = versionText(*version);
        out.lastupdate = now;
        if (isNewer(*version, own)) {
            out.kind = Outcome::Newer;
            out.message = QStringLiteral("Update found");
            out.boxText = QStringLiteral("Update found to v%1\nVisit downloadpage?\n%2")
                              .arg(out.newVersion, websiteURL);
        } else {
            out.kind = Outcome::Current;
            out.message = QStringLiteral("No update found.");
            if (mode == manual)
                out.boxText = out.message;
        }
        return out;
    }
    if (reply.httpStatus == 404) {
        out.kind = Outcome::NotFound;
        out.message = QStringLiteral("Update file not found.");
        out.boxText = QStringLiteral("Updater 404 error. Retrying update check 7 days from today"
                                     "\nThis is likely a temporary issue.\nWhen using an older "
                                     "program version, consider visiting the website for a newer "
                                     "version.");
        out.lastupdate = retryBase + 7 * day;
        return out;
    }
    out.kind = Outcome::Failed;
    const QString detail = reply.networkError == 3 ? QStringLiteral("(not connected)")
                                                   : QStringLiteral("Code %1").arg(reply.networkError);
    out.message = QStringLiteral("Failed to update %1").arg(detail);
    out.boxText = out.message;
    if (mode == automatic) {
        out.boxText += QStringLiteral("\nChecking again in several days.");
        out.lastupdate = retryBase + 3 * day;
    }
    return out;
}

} // namespace updatecheck
