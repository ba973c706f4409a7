// The tag JSON reader must give exactly what QJsonDocument gives, on any text.
#include "database/jsonscan.h"
#include "support/jsonreference.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QVariant>

#include <cmath>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // The database hands the reader UTF-16 text decoded from the stored UTF-8.
    const QString json = QString::fromUtf8(reinterpret_cast<const char *>(data), int(size));
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(json.toUtf8(), &error);
    const bool isObject = error.error == QJsonParseError::NoError && document.isObject();
    const QJsonObject object = document.object();
    const QString text = object.value(QLatin1String("text")).toString();

    const JsonMembers members(json, {"created", "text"});
    QString storage;
    if (members.isObject() != isObject || members.string(1) != text ||
        members.string(1).isNull() != text.isNull() ||
        members.stringView(1, storage) != QStringView(text) ||
        members.truncatedInteger(0) != qtCreated(object.value(QLatin1String("created"))))
        std::abort();
    return 0;
}
