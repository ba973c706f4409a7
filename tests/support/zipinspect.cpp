#include "support/zipinspect.h"

#include <QFile>

namespace zipinspect {

namespace {

quint32 readLe(const QByteArray &bytes, int at, int width)
{
    quint32 value = 0;
    for (int i = width - 1; i >= 0; --i)
        value = (value << 8) | quint8(bytes.at(at + i));
    return value;
}

} // namespace

QList<CentralEntry> centralDirectory(const std::filesystem::path &archive)
{
    QFile file(QString::fromStdString(archive.string()));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QByteArray bytes = file.readAll();
    const int end = bytes.lastIndexOf(QByteArray("PK\x05\x06", 4));
    if (end < 0 || end + 22 > bytes.size())
        return {};
    const int count = int(readLe(bytes, end + 10, 2));
    int at = int(readLe(bytes, end + 16, 4));
    QList<CentralEntry> entries;
    for (int i = 0; i < count; ++i) {
        if (at + 46 > bytes.size() || bytes.mid(at, 4) != QByteArray("PK\x01\x02", 4))
            return {};
        const int nameLength = int(readLe(bytes, at + 28, 2));
        const int extraLength = int(readLe(bytes, at + 30, 2));
        const int commentLength = int(readLe(bytes, at + 32, 2));
        entries.append({bytes.mid(at + 46, nameLength), quint16(readLe(bytes, at + 8, 2))});
        at += 46 + nameLength + extraLength + commentLength;
    }
    return entries;
}

} // namespace zipinspect
