#pragma once

#include <QJsonValue>
#include <QVariant>

#include <cmath>

/// "created" as QJsonDocument gives it: whole numbers exactly, others cut toward zero; 0 for
/// anything that is not a number or does not fit. The reference the tag reader must match.
inline qint64 qtCreated(const QJsonValue &created)
{
    if (!created.isDouble())
        return 0;
    const QVariant number = created.toVariant();
    if (number.userType() == QMetaType::LongLong)
        return number.toLongLong();
    const double seconds = std::trunc(created.toDouble());
    if (!std::isfinite(seconds) || seconds < -9223372036854775808.0 ||
        seconds >= 9223372036854775808.0)
        return 0;
    return static_cast<qint64>(seconds);
}
