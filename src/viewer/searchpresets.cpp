#include "viewer/searchpresets.h"

#include <QDateTime>

QDateTime searchPresetStart(int preset, const QDateTime &now)
{
    switch (preset) {
    case PresetPast24Hours:
        return now.addDays(-1);
    case PresetPastWeek:
        return now.addDays(-7);
    case PresetPastMonth:
        return now.addMonths(-1);
    case PresetPastSixMonths:
        return now.addMonths(-6);
    case PresetPastYear:
        return now.addMonths(-12);
    default:
        return QDateTime();
    }
}
