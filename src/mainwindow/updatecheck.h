#pragma once

#include <QByteArray>
#include <QString>
#include <QUrl>

#include <array>
#include <optional>

/// The rules of the update check, free of widgets and of the network: which manifest
/// address may be asked, what a manifest says, and when the next automatic check is due.
/// The window moves the bytes (FileDownloader) and shows the boxes these rules choose.

enum updateMode : int { manual = 0, automatic = 1 };

namespace updatecheck {

/// A manifest is at most this long; a longer reply is not read any further.
constexpr int manifestLimit = 20;
/// How long one request may take before it counts as a failed check.
constexpr int requestTimeoutMs = 30000;
constexpr qint64 day = 86400;

/// Test-only override of the manifest address; honoured only for a loopback host, so that
/// it can never send a real user's check somewhere else.
inline const char *const overrideVariable = "MARLOX_UPDATE_MANIFEST_URL";

/// The address to ask: `override` when it names a loopback host, else `configured`. Only
/// https is used, except for a loopback host; an unusable address gives an invalid URL.
QUrl manifestUrl(const QString &configured, const QString &override);
bool isLoopback(const QUrl &url);

/// "%d.%d.%d.%d;" read strictly: four decimal numbers of one to five digits, dots between
/// them, a semicolon after; anything after the semicolon is ignored. nullopt otherwise.
std::optional<std::array<int, 4>> parseManifest(const QByteArray &bytes);
bool isNewer(const std::array<int, 4> &candidate, const std::array<int, 4> &own);
QString versionText(const std::array<int, 4> &numbers);

/// 14 days for interval 1, 28 days for anything else.
qint64 intervalSeconds(int interval);
/// Whether an automatic check is due; a clock that went back by a day or more makes it due.
bool checkDue(qint64 now, qint64 lastupdate, int interval);

enum class StartupAction { None, Check, AskPermission };
/// What the start-up does for a stored "updates/updateInterval" (-1 or missing: never asked).
StartupAction startupAction(int storedInterval, bool settingsReadable);

/// What one finished request means.
struct Outcome
{
    enum Kind { Newer, Current, Malformed, NotFound, Failed } kind = Failed;
    QString newVersion;                 // Newer and Current
    std::optional<qint64> lastupdate;   // the value to store, when one is stored
    QString message;                    // the box's title (and text, except NotFound/Failed)
    QString boxText;                    // empty: no box
};

struct Reply
{
    int httpStatus = 0;
    int networkError = 0;  // QNetworkReply::NetworkError
    bool tooLarge = false; // more than manifestLimit bytes arrived
    QByteArray body;
};

Outcome evaluate(const Reply &reply, const std::array<int, 4> &own, updateMode mode,
                 qint64 now, int interval, const QString &websiteURL);

} // namespace updatecheck
