// The advanced search widget through its real editors, with a clock that stands still,
// and the preset arithmetic beneath it.

#include "database/annotationrecord.h"
#include "viewer/advancedsearchwidget.h"
#include "viewer/searchpresets.h"

#include <QComboBox>
#include <QDateTimeEdit>
#include <QPushButton>
#include <QCheckBox>
#include <QSignalSpy>
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
    void init();
    void colours_boxUnticked_hidden_onlyOneThenResetShowsAll();
    void presetStart_countsBackInCalendarUnits_data();
    void presetStart_countsBackInCalendarUnits();
    void construction_offersWholeRangeWithoutPreset();
    void pastWeek_setsFromSevenDaysBack_reportsItBeforeFilterChanged();
    void editingFromByHand_switchesToCustom();
    void editors_limitEachOther();
    void reset_reportsNewBoundsBeforeFilterReset_appliesNoPreset();
    void setEarliestDate_reappliesPresetOnlyInSecondsForm();
};

void tst_advancedsearchwidget::init()
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
    auto add = [this](const char *name) {
        return [this, name](qint64 value) {
            log << QStringLiteral("%1 %2").arg(QLatin1String(name)).arg(value);
        };
    };
    const AdvancedSearchWidget *w = widget.get();
    connect(w, &AdvancedSearchWidget::changedDateFrom, this, add("dateFrom"));
    connect(w, &AdvancedSearchWidget::changedDateTo, this, add("dateTo"));
    connect(w, &AdvancedSearchWidget::changedPageFrom, this, add("pageFrom"));
    connect(w, &AdvancedSearchWidget::changedPageTo, this, add("pageTo"));
    connect(w, qOverload<int>(&AdvancedSearchWidget::filterChanged), this, add("filterChanged"));
    connect(w, &AdvancedSearchWidget::filterReset, this, [this] { log << "filterReset"; });
}

void tst_advancedsearchwidget::presetStart_countsBackInCalendarUnits_data()
{
    QTest::addColumn<int>("preset");
    QTest::addColumn<QDateTime>("now");
    QTest::addColumn<QDateTime>("expected");
    auto at = [](int y, int m, int d) {
        return QDateTime(QDate(y, m, d), QTime(12, 34, 56, 789), Qt::UTC);
    };
    QTest::newRow("past 24 hours") << 0 << at(2024, 3, 1) << at(2024, 2, 29);
    QTest::newRow("past week over the year end") << 1 << at(2024, 1, 3) << at(2023, 12, 27);
    QTest::newRow("past month from 31 March, leap") << 2 << at(2024, 3, 31) << at(2024, 2, 29);
    QTest::newRow("past month from 31 March") << 2 << at(2023, 3, 31) << at(2023, 2, 28);
    QTest::newRow("past 6 months from 31 August") << 3 << at(2024, 8, 31) << at(2024, 2, 29);
    QTest::newRow("past year from 29 February") << 4 << at(2024, 2, 29) << at(2023, 2, 28);
    QTest::newRow("custom") << 5 << at(2024, 3, 31) << QDateTime();
    QTest::newRow("no selection") << -1 << at(2024, 3, 31) << QDateTime();
}

void tst_advancedsearchwidget::presetStart_countsBackInCalendarUnits()
{
    QFETCH(int, preset);
    QFETCH(QDateTime, now);
    QFETCH(QDateTime, expected);
    QCOMPARE(searchPresetStart(preset, now), expected);
}

void tst_advancedsearchwidget::construction_offersWholeRangeWithoutPreset()
{
    QTest::ignoreMessage(QtDebugMsg, "Constructing search widget");
    AdvancedSearchWidget fresh(nullptr, earliest.toSecsSinceEpoch());
    auto *presets = fresh.findChild<QComboBox *>(QStringLiteral("cb_filterPreset"));
    auto *freshTo = fresh.findChild<QDateTimeEdit *>(QStringLiteral("dateTo"));

    QStringList texts;
    for (int i = 0; i < presets->count(); ++i)
        texts << presets->itemText(i);
    QCOMPARE(texts, QStringList({"Past 24 hours", "Past Week", "Past Month", "Past 6 Months",
                                 "Past Year", "Custom"}));
    QCOMPARE(fresh.currentPreset(), -1);
    QVERIFY(qAbs(freshTo->dateTime().secsTo(QDateTime::currentDateTime())) <= 5);
    QCOMPARE(fresh.findChild<QSpinBox *>(QStringLiteral("pageTo"))->value(), 9999);

    // The viewer sets the earliest date on every load; that must not narrow to a preset.
    fresh.setEarliestDate(older.toSecsSinceEpoch());
    QCOMPARE(fresh.findChild<QDateTimeEdit *>(QStringLiteral("dateFrom"))->dateTime(), older);
}

void tst_advancedsearchwidget::pastWeek_setsFromSevenDaysBack_reportsItBeforeFilterChanged()
{
    QTest::ignoreMessage(QtDebugMsg, "Switching preset to: 1");
    widget->setPreset(PresetPastWeek);

    QCOMPARE(from->dateTime(), now.addDays(-7));
    QCOMPARE(to->dateTime(), now);
    QCOMPARE(log, QStringList({entry("dateFrom", now.addDays(-7)), "filterChanged 1"}));
}

void tst_advancedsearchwidget::editingFromByHand_switchesToCustom()
{
    widget->setPreset(PresetPastWeek);
    log.clear();
    QTest::keyClick(from, Qt::Key_Up);

    QCOMPARE(widget->currentPreset(), int(PresetCustom));
    QCOMPARE(log.first(), entry("dateFrom", from->dateTime()));
    QCOMPARE(log.last(), QStringLiteral("filterChanged 5"));
}

void tst_advancedsearchwidget::editors_limitEachOther()
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
    QCOMPARE(from->dateTime(), now.addDays(-7));
    QCOMPARE(to->dateTime(), now.addDays(-7));
    widget->setPageTo(20);
    QCOMPARE(pageFrom->value(), 20);
    widget->setPageFrom(20000);
    QCOMPARE(pageTo->value(), 9999);
}

void tst_advancedsearchwidget::reset_reportsNewBoundsBeforeFilterReset_appliesNoPreset()
{
    widget->setPageFrom(10);
    widget->setPageTo(20);
    widget->setPreset(PresetPastWeek);
    const QDateTime later = now.addSecs(3600);
    widget->setClock([later] { return later; });
    QSignalSpy reset(widget.get(), &AdvancedSearchWidget::filterReset);
    log.clear();

    widget->findChild<QPushButton *>(QStringLiteral("filterReset"))->click();

    QCOMPARE(reset.count(), 1);
    QCOMPARE(log.last(), QStringLiteral("filterReset"));
    QCOMPARE(log.filter(QRegularExpression(QStringLiteral("^(date|page)"))),
             QStringList({entry("dateFrom", earliest), entry("dateTo", later), "pageFrom 0",
                          "pageTo 9999"}));
    QCOMPARE(widget->currentPreset(), -1);
    QVERIFY(!log.contains(QStringLiteral("filterChanged -1")));
    QCOMPARE(from->dateTime(), earliest);
    QCOMPARE(from->maximumDateTime(), later);
}

void tst_advancedsearchwidget::colours_boxUnticked_hidden_onlyOneThenResetShowsAll()
{
    widget->setColors({color_yellow, color_blue, color_red});
    QSignalSpy changed(widget.get(), &AdvancedSearchWidget::changedColors);
    QSignalSpy filter(widget.get(), qOverload<int>(&AdvancedSearchWidget::filterChanged));
    const QList<QCheckBox *> boxes = widget->findChildren<QCheckBox *>();
    QCOMPARE(boxes.size(), 3);
    boxes[1]->setChecked(false);
    QCOMPARE(widget->hiddenColors(), (QSet<int>{color_blue}));
    widget->showOnlyColor(color_red);
    QCOMPARE(widget->hiddenColors(), (QSet<int>{color_yellow, color_blue}));
    QCOMPARE(changed.count(), 2);
    QVERIFY(!filter.isEmpty()); // the filter icon lights up
    widget->reset();
    QVERIFY(widget->hiddenColors().isEmpty());
    QCOMPARE(changed.count(), 3);
}

void tst_advancedsearchwidget::setEarliestDate_reappliesPresetOnlyInSecondsForm()
{
    widget->setPreset(PresetPastMonth);
    QSignalSpy changed(widget.get(), qOverload<int>(&AdvancedSearchWidget::filterChanged));
    QSignalSpy reported(widget.get(), &AdvancedSearchWidget::changedDateFrom);

    widget->setEarliestDate(older.toSecsSinceEpoch());
    QCOMPARE(from->minimumDateTime(), older);
    QCOMPARE(from->dateTime(), now.addMonths(-1));
    // A spy records only argument types the meta-object system knows (qint64, not int64_t).
    QCOMPARE(reported.last().at(0).toLongLong(), now.addMonths(-1).toSecsSinceEpoch());
    QCOMPARE(changed.takeFirst(), QVariantList{int(PresetPastMonth)});

    widget->setEarliestDate(older);
    QCOMPARE(from->dateTime(), older);
    QCOMPARE(widget->currentPreset(), int(PresetPastMonth));
    QVERIFY(changed.isEmpty());
}

QTEST_MAIN(tst_advancedsearchwidget)
#include "tst_advancedsearchwidget.moc"
