// The advanced search decides which rows the viewer shows: the bounds and hidden colours it
// reports, read back as the viewer reads them on each report. Its editors are driven for real,
// with a clock that stands still.

#include "database/annotationrecord.h"
#include "viewer/advancedsearchwidget.h"
#include "viewer/searchpresets.h"

#include <QCheckBox>
#include <QDateTimeEdit>
#include <QPushButton>
#include <QtTest>

#include <functional>
#include <limits>

namespace {
const QDateTime earliest(QDate(2020, 1, 1), QTime(8, 0));
const QDateTime older(QDate(2019, 6, 1), QTime(0, 0));
const QDateTime now(QDate(2024, 3, 31), QTime(12, 34, 56)); // a month back is 29 February

using W = AdvancedSearchWidget;
using Steps = std::function<void(W &)>;

/// What the viewer's filter takes from the widget: "from, to, pages, {hidden colour codes}".
QString filterOf(const AdvancedSearchWidget &widget)
{
    const SearchBounds bounds = widget.bounds();
    const auto date = [](qint64 seconds) {
        return seconds == std::numeric_limits<qint64>::max()
                   ? QStringLiteral("open")
                   : QDateTime::fromSecsSinceEpoch(seconds).toString("yyyy-MM-dd hh:mm");
    };
    QStringList hidden;
    for (int code = color_none; code <= color_other; ++code) {
        if (widget.hiddenColors().contains(code))
            hidden << QString::number(code);
    }
    return QStringLiteral("%1, %2, %3-%4, {%5}")
        .arg(date(bounds.dateFrom), date(bounds.dateTo))
        .arg(bounds.pageFrom)
        .arg(bounds.pageTo)
        .arg(hidden.join(' '));
}
} // namespace

Q_DECLARE_METATYPE(Steps)

class tst_advancedsearchwidget : public QObject
{
    Q_OBJECT

private slots:
    void reportedFilter_data()
    {
        QTest::addColumn<Steps>("steps");
        QTest::addColumn<QString>("filter");
        QTest::addColumn<int>("preset"); // a later load applies a chosen preset again
        const auto row = [](const char *name, const char *filter, int preset, const Steps &steps) {
            QTest::newRow(name) << steps << QString::fromLatin1(filter) << preset;
        };
        const auto choose = [](int preset) { return [preset](W &w) { w.setPreset(preset); }; };
        row("past week", "2024-03-24 12:34, open, 0-9999, {}", 1, choose(1));
        row("past month", "2024-02-29 12:34, open, 0-9999, {}", 2, choose(2));
        row("past year", "2023-03-31 12:34, open, 0-9999, {}", 4, choose(4));
        row("week, then From by hand", "2024-03-25 12:34, open, 0-9999, {}", 5, [](W &w) {
            w.setPreset(PresetPastWeek);
            QTest::keyClick(w.findChild<QDateTimeEdit *>("dateFrom"), Qt::Key_Up);
        });
        // After a reset "To" stands at the clock's now; chosen, it closes the range.
        row("To by hand", "2020-01-01 08:00, 2024-03-30 12:34, 0-9999, {}", 5, [](W &w) {
            w.reset();
            QTest::keyClick(w.findChild<QDateTimeEdit *>("dateTo"), Qt::Key_Down);
        });
        row("To set where it stands", "2020-01-01 08:00, 2024-03-31 12:34, 0-9999, {}", -1,
            [](W &w) {
                w.reset();
                w.setDateTo(now);
            });
        // The viewer sets the earliest date on every load: a fresh widget must not narrow to a
        // preset, a chosen one is applied again.
        row("earliest date", "2019-06-01 00:00, open, 0-9999, {}", -1,
            [](W &w) { w.setEarliestDate(older.toSecsSinceEpoch()); });
        row("earliest date, month chosen", "2024-02-29 12:34, open, 0-9999, {}", 2, [](W &w) {
            w.setPreset(PresetPastMonth);
            w.setEarliestDate(older.toSecsSinceEpoch());
        });
        // A bound beyond its partner takes the partner along instead of being clamped by it.
        row("To below From", "2024-03-11 12:34, 2024-03-11 12:34, 0-9999, {}", 5, [](W &w) {
            w.setDateFrom(now.addDays(-10));
            w.setDateTo(now.addDays(-20));
        });
        row("preset past To", "2024-03-24 12:34, 2024-03-24 12:34, 0-9999, {}", 1, [](W &w) {
            w.setDateTo(now.addDays(-20));
            w.setPreset(PresetPastWeek);
        });
        row("last page below first", "2020-01-01 08:00, open, 20-20, {}", 5, [](W &w) {
            w.setPageFrom(30);
            w.setPageTo(20);
        });
        row("colour box unticked", "2020-01-01 08:00, open, 0-9999, {2}", 5,
            [](W &w) { w.findChildren<QCheckBox *>().at(1)->setChecked(false); });
        row("one colour only", "2020-01-01 08:00, open, 0-9999, {1 2}", 5,
            [](W &w) { w.showOnlyColor(color_red); });
        row("reset, the clock an hour on", "2020-01-01 08:00, open, 0-9999, {}", -1, [](W &w) {
            w.setPreset(PresetPastWeek);
            w.setDateTo(now.addDays(-1));
            w.setPageFrom(10);
            w.showOnlyColor(color_red);
            w.setClock([] { return now.addSecs(3600); });
            w.findChild<QPushButton *>(QStringLiteral("filterReset"))->click();
        });
    }

    void reportedFilter()
    {
        QFETCH(Steps, steps);
        QFETCH(QString, filter);
        QFETCH(int, preset);
        AdvancedSearchWidget widget(nullptr, earliest.toSecsSinceEpoch());
        widget.setClock([] { return now; });
        widget.setColors({color_yellow, color_blue, color_red});
        QString applied = filterOf(widget);
        const auto apply = [&applied, &widget] { applied = filterOf(widget); };
        connect(&widget, &AdvancedSearchWidget::changedDateFrom, this, apply);
        connect(&widget, &AdvancedSearchWidget::changedDateTo, this, apply);
        connect(&widget, &AdvancedSearchWidget::changedPageFrom, this, apply);
        connect(&widget, &AdvancedSearchWidget::changedPageTo, this, apply);
        connect(&widget, &AdvancedSearchWidget::changedColors, this, apply);
        connect(&widget, &AdvancedSearchWidget::filterReset, this, apply);
        steps(widget);
        QCOMPARE(applied, filter);
        QCOMPARE(widget.currentPreset(), preset);
    }
};

QTEST_MAIN(tst_advancedsearchwidget)
#include "tst_advancedsearchwidget.moc"
