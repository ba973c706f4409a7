// The advanced search widget through its real editors, with a clock that stands still,
// and the preset arithmetic beneath it.

#include "database/annotationrecord.h"
#include "viewer/advancedsearchwidget.h"
#include "viewer/searchpresets.h"

#include <QCheckBox>
#include <QDateTimeEdit>
#include <QSignalSpy>
#include <QPushButton>
#include <QSpinBox>
#include <QtTest>

#include <memory>

namespace {
const QDateTime earliest(QDate(2020, 1, 1), QTime(8, 0));
const QDateTime older(QDate(2019, 6, 1), QTime(0, 0));
const QDateTime now(QDate(2024, 3, 31), QTime(12, 34, 56));

QString entry(const char *name, const QDateTime &time)
{
    return QStringLiteral("%1 %2").arg(QLatin1String(name)).arg(time.toSecsSinceEpoch());
}
} // namespace

class tst_advancedsearchwidget : public QObject
{
    Q_OBJECT
    std::unique_ptr<AdvancedSearchWidget> widget;
    QDateTimeEdit *from = nullptr;
    QDateTimeEdit *to = nullptr;
    QSpinBox *pageFrom = nullptr;
    QSpinBox *pageTo = nullptr;
    QStringList log; // the widget's signals in the order they came

private slots:
    void init()
    {
        widget = std::make_unique<AdvancedSearchWidget>(nullptr, earliest.toSecsSinceEpoch());
        widget->setClock([] { return now; });
        widget->reset(); // so that "To" stands at the fixed `now` too
        from = widget->findChild<QDateTimeEdit *>(QStringLiteral("dateFrom"));
        to = widget->findChild<QDateTimeEdit *>(QStringLiteral("dateTo"));
        pageFrom = widget->findChild<QSpinBox *>(QStringLiteral("pageFrom"));
        pageTo = widget->findChild<QSpinBox *>(QStringLiteral("pageTo"));
        QVERIFY(from && to && pageFrom && pageTo);
        log.clear();
        const auto add = [this](const char *name) {
            return [this, name](qint64 value) {
                log << QStringLiteral("%1 %2").arg(QLatin1String(name)).arg(value);
            };
        };
        const AdvancedSearchWidget *w = widget.get();
        connect(w, &AdvancedSearchWidget::changedDateFrom, this, add("dateFrom"));
        connect(w, &AdvancedSearchWidget::changedDateTo, this, add("dateTo"));
        connect(w, &AdvancedSearchWidget::changedPageFrom, this, add("pageFrom"));
        connect(w, &AdvancedSearchWidget::changedPageTo, this, add("pageTo"));
        connect(w, qOverload<int>(&AdvancedSearchWidget::filterChanged), this,
                add("filterChanged"));
        connect(w, &AdvancedSearchWidget::filterReset, this, [this] { log << "filterReset"; });
    }

    void colours_boxUnticked_hidden_onlyOneThenResetShowsAll()
    {
        widget->setColors({color_yellow, color_blue, color_red});
        QSignalSpy changed(widget.get(), &AdvancedSearchWidget::changedColors);
        QSignalSpy filter(widget.get(), qOverload<int>(&AdvancedSearchWidget::filterChanged));
        widget->findChildren<QCheckBox *>().at(1)->setChecked(false);
        QCOMPARE(widget->hiddenColors(), (QSet<int>{color_blue}));
        widget->showOnlyColor(color_red);
        QCOMPARE(widget->hiddenColors(), (QSet<int>{color_yellow, color_blue}));
        QCOMPARE(changed.count(), 2);
        QVERIFY(!filter.isEmpty()); // the filter icon lights up
        widget->reset();
        QVERIFY(widget->hiddenColors().isEmpty());
        QCOMPARE(changed.count(), 3);
    }

    void presetStart_countsBackInCalendarUnits_data()
    {
        QTest::addColumn<int>("preset");
        QTest::addColumn<QDateTime>("now");
        QTest::addColumn<QDateTime>("expected");
        const auto at = [](int y, int m, int d) {
            return QDateTime(QDate(y, m, d), QTime(12, 34, 56, 789), Qt::UTC);
        };
        QTest::newRow("past 24 hours") << 0 << at(2024, 3, 1) << at(2024, 2, 29);
        QTest::newRow("past week over the year end") << 1 << at(2024, 1, 3) << at(2023, 12, 27);
        QTest::newRow("past month from 31 March, leap") << 2 << at(2024, 3, 31) << at(2024, 2, 29);
        QTest::newRow("past 6 months from 31 August") << 3 << at(2024, 8, 31) << at(2024, 2, 29);
        QTest::newRow("past year from 29 February") << 4 << at(2024, 2, 29) << at(2023, 2, 28);
    }

    void presetStart_countsBackInCalendarUnits()
    {
        QFETCH(int, preset);
        QFETCH(QDateTime, now);
        QFETCH(QDateTime, expected);
        QCOMPARE(searchPresetStart(preset, now), expected);
    }

    // The viewer sets the earliest date on every load: a fresh widget must not narrow to a
    // preset, a chosen preset is applied again, and the date form leaves the preset alone.
    void setEarliestDate_keepsOrReappliesThePreset()
    {
        AdvancedSearchWidget fresh(nullptr, earliest.toSecsSinceEpoch());
        fresh.setEarliestDate(older.toSecsSinceEpoch());
        QCOMPARE(fresh.findChild<QDateTimeEdit *>(QStringLiteral("dateFrom"))->dateTime(), older);

        widget->setPreset(PresetPastMonth);
        log.clear();
        widget->setEarliestDate(older.toSecsSinceEpoch());
        QCOMPARE(from->minimumDateTime(), older);
        QCOMPARE(log.mid(log.size() - 2),
                 QStringList({entry("dateFrom", now.addMonths(-1)), "filterChanged 2"}));
        log.clear();
        widget->setEarliestDate(older);
        QCOMPARE(from->dateTime(), older);
        QCOMPARE(widget->currentPreset(), int(PresetPastMonth));
        QVERIFY(log.filter(QStringLiteral("filterChanged")).isEmpty());
    }

    // The new bound is reported before the filter runs on it.
    void pastWeek_thenEditingByHand_switchesToCustom()
    {
        widget->setPreset(PresetPastWeek);
        QCOMPARE(log, QStringList({entry("dateFrom", now.addDays(-7)), "filterChanged 1"}));
        log.clear();
        QTest::keyClick(from, Qt::Key_Up);
        QCOMPARE(widget->currentPreset(), int(PresetCustom));
        QCOMPARE(log.first(), entry("dateFrom", from->dateTime()));
        QCOMPARE(log.last(), QStringLiteral("filterChanged 5"));
    }

    void editors_limitEachOther()
    {
        QTest::keyClick(to, Qt::Key_Down); // hand edits move the partner's limit as well
        QCOMPARE(from->maximumDateTime(), now.addDays(-1));
        QTest::keyClick(pageTo, Qt::Key_Down);
        QCOMPARE(pageFrom->maximum(), 9998);
        widget->setDateFrom(now.addDays(-10));
        QCOMPARE(to->minimumDateTime(), now.addDays(-10));
        widget->setPageFrom(30);
        QCOMPARE(pageTo->minimum(), 30);

        // A bound beyond its partner takes the partner along instead of being clamped by it.
        widget->setDateTo(now.addDays(-20));
        QCOMPARE(from->dateTime(), now.addDays(-20));
        widget->setPreset(PresetPastWeek);
        QCOMPARE(to->dateTime(), now.addDays(-7));
        widget->setPageTo(20);
        QCOMPARE(pageFrom->value(), 20);
    }

    // "To" follows the clock at a reset; every new bound is reported before the reset.
    void reset_reportsNewBoundsFirst_appliesNoPreset()
    {
        widget->setPageFrom(10);
        widget->setPageTo(20);
        widget->setPreset(PresetPastWeek);
        const QDateTime later = now.addSecs(3600);
        widget->setClock([later] { return later; });
        log.clear();
        widget->findChild<QPushButton *>(QStringLiteral("filterReset"))->click();
        QCOMPARE(log.last(), QStringLiteral("filterReset"));
        QCOMPARE(log.filter(QRegularExpression(QStringLiteral("^(date|page)"))),
                 QStringList({entry("dateFrom", earliest), entry("dateTo", later), "pageFrom 0",
                              "pageTo 9999"}));
        QCOMPARE(widget->currentPreset(), -1);
        QCOMPARE(from->maximumDateTime(), later);
    }
};

QTEST_MAIN(tst_advancedsearchwidget)
#include "tst_advancedsearchwidget.moc"
