#pragma once

class QDateTime;

/// The date presets of the advanced search, numbered as its preset list shows them.
enum SearchPreset : int {
    PresetPast24Hours = 0,
    PresetPastWeek = 1,
    PresetPastMonth = 2,
    PresetPastSixMonths = 3,
    PresetPastYear = 4,
    PresetCustom = 5
};

/// Start of the date range that `preset` selects, counted back from `now` in calendar units
/// (a month before 31 March is the last day of February). Invalid for PresetCustom and for
/// any index outside the list: those leave the range as it is.
QDateTime searchPresetStart(int preset, const QDateTime &now);
