#include "viewer/advancedsearchwidget.h"

#include "ui_advancedsearchwidget.h"

#include "viewer/searchpresets.h"

#include <QCheckBox>
#include <QHBoxLayout>
#include <QScopedValueRollback>
#include <QSignalBlocker>
#include <QtDebug>

#include <iterator>
#include <limits>
#include <utility>

namespace {
// The filter proxy's default last page; the spin boxes cannot go beyond it.
constexpr int maxPage = 9999;
} // namespace

namespace {

QString colorName(int code)
{
    static const char *const names[] = {"None",    "Yellow", "Blue", "Cyan", "Green",
                                        "Red",     "Magenta", "Orange", "Gray", "Pink",
                                        "Purple",  "Other",   "Other"};
    return code >= 0 && code < int(std::size(names)) ? QString::fromLatin1(names[code])
                                                      : QStringLiteral("Other");
}

} // namespace

AdvancedSearchWidget::AdvancedSearchWidget(QWidget *parent, int64_t earliestSeconds)
    : QWidget(parent)
    , m_ui(new Ui::AdvancedSearchWidget)
    , earliestDate(QDateTime::fromSecsSinceEpoch(earliestSeconds))
    , m_clock(&QDateTime::currentDateTime)
{
    qDebug() << "Constructing search widget";
    m_ui->setupUi(this);

    const QDateTime now = m_clock();
    m_ui->dateFrom->setDateTimeRange(earliestDate, now);
    m_ui->dateFrom->setDateTime(earliestDate);
    m_ui->dateTo->setMinimumDateTime(earliestDate);
    m_ui->dateTo->setDateTime(now);
    m_ui->pageFrom->setMaximum(maxPage);
    m_ui->pageTo->setMaximum(maxPage);

    connect(m_ui->cb_filterPreset, qOverload<int>(&QComboBox::currentIndexChanged), this,
            &AdvancedSearchWidget::applyPreset);
    connect(m_ui->dateFrom, &QDateTimeEdit::dateTimeChanged, this,
            &AdvancedSearchWidget::dateFromValueChanged);
    connect(m_ui->dateTo, &QDateTimeEdit::dateTimeChanged, this,
            &AdvancedSearchWidget::dateToValueChanged);
    connect(m_ui->pageFrom, qOverload<int>(&QSpinBox::valueChanged), this,
            &AdvancedSearchWidget::pageFromValueChanged);
    connect(m_ui->pageTo, qOverload<int>(&QSpinBox::valueChanged), this,
            &AdvancedSearchWidget::pageToValueChanged);
    connect(m_ui->filterReset, &QPushButton::clicked, this, &AdvancedSearchWidget::reset);
}

AdvancedSearchWidget::~AdvancedSearchWidget() = default;

void AdvancedSearchWidget::setEarliestDate(int64_t seconds)
{
    setEarliestDate(QDateTime::fromSecsSinceEpoch(seconds));
    if (currentPreset() >= 0)
        applyPreset(currentPreset());
}

void AdvancedSearchWidget::setEarliestDate(const QDateTime &earliest)
{
    earliestDate = earliest;
    const QScopedValueRollback<bool> guard(updating, true);
    m_ui->dateFrom->setMinimumDateTime(earliestDate);
    m_ui->dateFrom->setDateTime(earliestDate);
    m_ui->dateTo->setMinimumDateTime(earliestDate);
}

void AdvancedSearchWidget::setLatestDate(int64_t seconds)
{
    m_latestDate = QDateTime::fromSecsSinceEpoch(seconds);
    followLatestDate();
}

void AdvancedSearchWidget::followLatestDate()
{
    if (m_dateToChosen)
        return;
    const QDateTime now = m_clock();
    const QScopedValueRollback<bool> guard(updating, true);
    m_ui->dateTo->setDateTime(m_latestDate.isValid() ? qMax(now, m_latestDate) : now);
}

SearchBounds AdvancedSearchWidget::bounds() const
{
    return {m_ui->dateFrom->dateTime().toSecsSinceEpoch(),
            m_dateToChosen ? m_ui->dateTo->dateTime().toSecsSinceEpoch()
                           : std::numeric_limits<qint64>::max(),
            m_ui->pageFrom->value(), m_ui->pageTo->value()};
}

// The partner's limit moves first: a stale limit would otherwise clamp the new value.
void AdvancedSearchWidget::setDateFrom(const QDateTime &dateTime)
{
    {
        // A "To" pushed along by "From" is not one the user chose.
        const QScopedValueRollback<bool> guard(updating, true);
        m_ui->dateTo->setMinimumDateTime(qMax(dateTime, m_ui->dateFrom->minimumDateTime()));
    }
    m_ui->dateFrom->setDateTime(dateTime);
}

void AdvancedSearchWidget::setDateTo(const QDateTime &dateTime)
{
    const QDateTime before = m_ui->dateTo->dateTime();
    m_dateToChosen = true;
    // Below its minimum, a maximum would drag the minimum down with it.
    m_ui->dateFrom->setMaximumDateTime(qMax(dateTime, m_ui->dateFrom->minimumDateTime()));
    m_ui->dateTo->setDateTime(dateTime);
    // An open end became this date, even if the editor already showed it.
    if (m_ui->dateTo->dateTime() == before)
        emit changedDateTo(before.toSecsSinceEpoch());
}

void AdvancedSearchWidget::setPageFrom(int page)
{
    page = qBound(0, page, maxPage);
    m_ui->pageTo->setMinimum(page);
    m_ui->pageFrom->setValue(page);
}

void AdvancedSearchWidget::setPageTo(int page)
{
    page = qBound(0, page, maxPage);
    m_ui->pageFrom->setMaximum(page);
    m_ui->pageTo->setValue(page);
}

int AdvancedSearchWidget::currentPreset() const
{
    return m_ui->cb_filterPreset->currentIndex();
}

void AdvancedSearchWidget::setPreset(int preset)
{
    m_ui->cb_filterPreset->setCurrentIndex(preset);
}

void AdvancedSearchWidget::setClock(std::function<QDateTime()> clock)
{
    m_clock = std::move(clock);
}

void AdvancedSearchWidget::setColors(const std::vector<int> &codes)
{
    delete m_colorRow;
    m_colorBoxes.clear();
    m_colorRow = new QWidget(this);
    auto *row = new QHBoxLayout(m_colorRow);
    row->setContentsMargins(0, 0, 0, 0);
    for (const int code : codes) {
        auto *box = new QCheckBox(colorName(code), m_colorRow);
        box->setChecked(true);
        connect(box, &QCheckBox::toggled, this, [this] {
            emit changedColors();
            switchToCustom();
        });
        row->addWidget(box);
        m_colorBoxes.emplace_back(code, box);
    }
    m_ui->formLayout->insertRow(m_ui->formLayout->rowCount() - 1, QStringLiteral("Colours"),
                                m_colorRow);
}

QSet<int> AdvancedSearchWidget::hiddenColors() const
{
    QSet<int> hidden;
    for (const auto &[code, box] : m_colorBoxes) {
        if (!box->isChecked())
            hidden.insert(code);
    }
    return hidden;
}

void AdvancedSearchWidget::showOnlyColor(int code)
{
    {
        const QScopedValueRollback<bool> guard(updating, true);
        for (const auto &[boxCode, box] : m_colorBoxes) {
            const QSignalBlocker block(box);
            box->setChecked(boxCode == code);
        }
    }
    emit changedColors();
    switchToCustom();
}

void AdvancedSearchWidget::reset()
{
    for (const auto &[code, box] : m_colorBoxes) {
        const QSignalBlocker block(box);
        box->setChecked(true);
    }
    emit changedColors();
    {
        const QScopedValueRollback<bool> guard(updating, true);
        m_ui->dateFrom->setMinimumDateTime(earliestDate);
        m_ui->dateFrom->setDateTime(earliestDate);
        m_ui->dateTo->setMinimumDateTime(earliestDate);
        m_dateToChosen = false;
        followLatestDate();
    }
    // From here on every editor that moves reports its new bound (and switches to
    // "Custom"), so listeners hold the new bounds before filterReset().
    m_ui->dateFrom->setMaximumDateTime(m_ui->dateTo->dateTime());
    m_ui->pageFrom->setValue(0);
    m_ui->pageTo->setMinimum(0);
    m_ui->pageTo->setValue(maxPage);
    m_ui->pageFrom->setMaximum(maxPage);
    {
        const QSignalBlocker blocker(m_ui->cb_filterPreset);
        m_ui->cb_filterPreset->setCurrentIndex(-1);
    }
    emit filterReset();
}

void AdvancedSearchWidget::applyPreset(int preset)
{
    qDebug().noquote() << QStringLiteral("Switching preset to: %1").arg(preset);
    {
        const QScopedValueRollback<bool> guard(updating, true);
        const QDateTime start = searchPresetStart(preset, m_clock());
        if (start.isValid()) {
            // A range "since a week ago" runs to now, however long the program has run.
            followLatestDate();
            setDateFrom(start);
        }
    }
    emit filterChanged(preset);
}

// Every value change, the widget's own included, moves the partner's limit; only changes
// the widget did not make itself switch the preset to "Custom".
void AdvancedSearchWidget::dateFromValueChanged(const QDateTime &value)
{
    emit changedDateFrom(value.toSecsSinceEpoch());
    m_ui->dateTo->setMinimumDateTime(value);
    switchToCustom();
}

void AdvancedSearchWidget::dateToValueChanged(const QDateTime &value)
{
    if (!updating)
        m_dateToChosen = true;
    emit changedDateTo(value.toSecsSinceEpoch());
    m_ui->dateFrom->setMaximumDateTime(value);
    switchToCustom();
}

void AdvancedSearchWidget::pageFromValueChanged(int value)
{
    emit changedPageFrom(value);
    m_ui->pageTo->setMinimum(value);
    switchToCustom();
}

void AdvancedSearchWidget::pageToValueChanged(int value)
{
    emit changedPageTo(value);
    m_ui->pageFrom->setMaximum(value);
    switchToCustom();
}

void AdvancedSearchWidget::switchToCustom()
{
    if (updating)
        return;
    m_ui->cb_filterPreset->setCurrentIndex(PresetCustom);
    emit filterChanged(PresetCustom);
}
