#pragma once

#include <QDateTime>
#include <QSet>
#include <QScopedPointer>
#include <QWidget>

#include <cstdint>
#include <functional>
#include <vector>

class QCheckBox;

namespace Ui {
class AdvancedSearchWidget;
}

/// The bounds the widget shows, as a filter applies them: seconds since the epoch and pages.
/// `dateTo` is open (the largest value) while the user has not chosen "To".
struct SearchBounds
{
    qint64 dateFrom;
    qint64 dateTo;
    int pageFrom;
    int pageTo;
};

/// The viewer's date and page filter: a preset list, a date range, a page range and a
/// Reset button. It knows no model; it reports each bound through a signal, and the owner
/// forwards them to the filter proxy. GUI thread only.
class AdvancedSearchWidget final : public QWidget
{
    Q_OBJECT
public:
    AdvancedSearchWidget(QWidget *parent, int64_t earliestSeconds);
    ~AdvancedSearchWidget() override; // in the .cpp, where the form class is complete

    /// Lowest selectable date (seconds since the epoch); "From" moves to it, then a
    /// selected preset is applied again.
    void setEarliestDate(int64_t seconds);
    /// The same, but a selected preset is not applied again.
    void setEarliestDate(const QDateTime &earliest);

    /// The newest annotation's time. Unless the user chose "To" (by hand or through
    /// setDateTo), "To" follows the newest data: it moves to this time or to now, whichever
    /// is later, here and whenever a preset or Reset is applied.
    void setLatestDate(int64_t seconds);
    /// Whether the user chose "To"; until then no annotation is outside the date range.
    bool dateToChosen() const { return m_dateToChosen; }
    SearchBounds bounds() const;

    /// Each sets one bound and moves the other editor's limit along, so that "From" never
    /// passes "To" and the first page never passes the last.
    void setDateFrom(const QDateTime &dateTime);
    void setDateTo(const QDateTime &dateTime);
    void setPageFrom(int page);
    void setPageTo(int page);

    /// One check box per colour code the loaded reader uses, all ticked.
    void setColors(const std::vector<int> &codes);
    /// The colour codes whose boxes are not ticked.
    QSet<int> hiddenColors() const;
    /// Ticks the box of `code` alone.
    void showOnlyColor(int code);

    /// The preset list's index (a SearchPreset), -1 when none is selected.
    int currentPreset() const;
    /// Selects a preset; a change of selection applies it.
    void setPreset(int preset);

    /// Where presets and Reset take "now" from; the system clock unless a test replaces it.
    void setClock(std::function<QDateTime()> clock);

public slots:
    void reset();

signals:
    void changedPageFrom(int pageFrom);
    void changedPageTo(int pageTo);
    // Seconds since the epoch. Declared qint64, not int64_t: moc keeps the spelling, and
    // only qint64 is a name the meta-object system knows, which queued and string-based
    // connections and QSignalSpy need.
    void changedDateFrom(qint64 dateFrom);
    void changedDateTo(qint64 dateTo);
    void filterChanged(int preset);
    // Never emitted: listeners connect to filterChanged(int).
    void filterChanged();
    void filterReset();
    void changedColors();

private:
    void applyPreset(int preset);
    void dateFromValueChanged(const QDateTime &value);
    void dateToValueChanged(const QDateTime &value);
    void pageFromValueChanged(int value);
    void pageToValueChanged(int value);
    void switchToCustom();
    void followLatestDate();

    const QScopedPointer<Ui::AdvancedSearchWidget> m_ui;
    QDateTime earliestDate;
    /// Set while the widget moves its own editors, so that those moves are not taken for
    /// the user's edits.
    bool updating = false;
    bool m_dateToChosen = false;
    QDateTime m_latestDate;
    std::function<QDateTime()> m_clock;
    QWidget *m_colorRow = nullptr;
    std::vector<std::pair<int, QCheckBox *>> m_colorBoxes;
};
