// The tag JSON reader must give exactly what QJsonDocument gives, on any text.
#include "database/jsonscan.h"
#include "support/jsonreference.h"

#include <QByteArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QVariant>

#include <cmath>
#include <cstdlib>

namespace {

// Qt 5.15 keeps an arbitrary one of a repeated name once an object has a dozen or so members
// (found by this target: "text" three times in 17 members gave the middle value); the reader
// keeps the last. Where the name may be repeated, Qt is no reference. A name written twice
// shows as two quoted copies, or as an escape of one of its letters.
bool mayRepeat(const QByteArray &raw, const char *name)
{
    const QByteArray quoted = '"' + QByteArray(name) + '"';
    if (raw.count(quoted) > 1)
        return true;
    for (const char letter : QByteArray(name)) {
        const QByteArray hex = QByteArray::number(int(letter), 16);
        if (raw.contains("\\u00" + hex) || raw.contains("\\u00" + hex.toUpper()))
            return true;
    }
    return false;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // The database hands the reader UTF-16 text decoded from the stored UTF-8.
    const QByteArray raw(reinterpret_cast<const char *>(data), int(size));
    const QString json = QString::fromUtf8(raw);
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(json.toUtf8(), &error);
    const bool isObject = error.error == QJsonParseError::NoError && document.isObject();
    const QJsonObject object = document.object();
    const QString text = object.value(QLatin1String("text")).toString();

    const JsonMembers members(json, {"created", "text"});
    QString storage;
    if (members.isObject() != isObject)
        std::abort();
    if (!mayRepeat(raw, "text") &&
        (members.string(1) != text || members.string(1).isNull() != text.isNull() ||
         members.stringView(1, storage) != QStringView(text)))
        std::abort();
    if (!mayRepeat(raw, "created") &&
        members.truncatedInteger(0) != qtCreated(object.value(QLatin1String("created"))))
        std::abort();
    return 0;
}
