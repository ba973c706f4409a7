#include "maintenance/mergefixannotationsdialog.h"

#include "ui_mergefixannotationsdialog.h"

#include "core/globalsclass.h"
#include "core/prompts.h"
#include "core/textconv.h"
#include "mainwindow/textviewer.h"
#include "readers/reader.h"
#include "readers/readerdata.h"

#include <QDebug>
#include <QPushButton>
#include <QSignalBlocker>
#include <QTreeWidgetItemIterator>

#include <system_error>

namespace fs = std::filesystem;

namespace {

// Where an item's row lives: the inspected profile and the row in its list. Kept in the
// item's data, never read back from the texts it shows.
constexpr int profileRole = Qt::UserRole;
constexpr int rowRole = Qt::UserRole + 1;

// A card profile is written only while the card is still mounted as well.
bool stillConnected(Reader &reader, const ProfileInfo &profile)
{
    if (!reader.isConnected())
        return false;
    if (!profile.onCard)
        return true;
    if (reader.owner)
        return reader.owner->isMountedVolume(reader.cardpath, reader.carddevice);
    std::error_code ec;
    return !reader.cardpath.empty() && fs::is_directory(reader.cardpath, ec);
}

} // namespace

mergeFixAnnotationsDialog::mergeFixAnnotationsDialog(std::shared_ptr<Reader> reader,
                                                     std::shared_ptr<globalsClass> settings,
                                                     QWidget *parent)
    : QDialog(parent)
    , m_ui(new Ui::mergeFixAnnotationsDialog)
    , m_reader(std::move(reader))
    , m_globals(std::move(settings))
{
    m_ui->setupUi(this);
    m_ui->treeWidget->setColumnWidth(0, 350);
    m_ui->treeWidget->setColumnWidth(1, 200);
    m_ui->treeWidget->setColumnWidth(3, 100);

    m_inspection = inspectMergeFix(m_reader->profiles);
    log = m_inspection.log;
    fillTree();

    connect(m_ui->toggleCheckState, &QPushButton::clicked, this,
            &mergeFixAnnotationsDialog::toggleAll);
    connect(m_ui->treeWidget, &QTreeWidget::itemChanged, this,
            &mergeFixAnnotationsDialog::itemChanged);
    connect(m_ui->buttonBox, &QDialogButtonBox::accepted, this, &mergeFixAnnotationsDialog::accept);
    connect(m_ui->buttonBox, &QDialogButtonBox::rejected, this, &mergeFixAnnotationsDialog::reject);
    connect(m_ui->buttonBox, &QDialogButtonBox::helpRequested, this,
            &mergeFixAnnotationsDialog::help);
}

mergeFixAnnotationsDialog::~mergeFixAnnotationsDialog() = default;

QTreeWidget *mergeFixAnnotationsDialog::tree() const
{
    return m_ui->treeWidget;
}

void mergeFixAnnotationsDialog::fillTree()
{
    qDebug() << "Inserting UI widgets";
    const QSignalBlocker block(m_ui->treeWidget);
    QTreeWidgetItem *top = nullptr;
    for (size_t p = 0; p < m_inspection.profiles.size(); ++p) {
        const MergeFixProfile &entry = m_inspection.profiles[p];
        for (size_t r = 0; r < entry.rows.size(); ++r) {
            const DuplicateRow &row = entry.rows[r];
            QTreeWidgetItem *item = nullptr;
            if (row.oid == row.maxOid) {
                item = new QTreeWidgetItem(m_ui->treeWidget);
                top = item;
            } else if (top) {
                item = new QTreeWidgetItem(top);
            } else {
                continue;
            }
            item->setText(0, row.title);
            item->setText(1, row.authors);
            item->setText(2, QString::number(row.annCount));
            item->setText(3, QString::number(row.oid));
            item->setText(4, QString::number(entry.profileIndex));
            item->setData(0, profileRole, static_cast<int>(p));
            item->setData(0, rowRole, static_cast<int>(r));
            item->setCheckState(0, Qt::Unchecked);
            if (row.oid != row.maxOid && row.annCount == 0)
                item->setFlags(Qt::NoItemFlags);
            if (item == top)
                item->setExpanded(true);
        }
    }
}

void mergeFixAnnotationsDialog::toggleAll()
{
    allChecked = !allChecked;
    const QSignalBlocker block(m_ui->treeWidget);
    for (QTreeWidgetItemIterator it(m_ui->treeWidget); *it; ++it) {
        if ((*it)->flags() & Qt::ItemIsEnabled)
            (*it)->setCheckState(0, allChecked ? Qt::Checked : Qt::Unchecked);
    }
}

void mergeFixAnnotationsDialog::itemChanged(QTreeWidgetItem *item, int column)
{
    if (column != 0 || item->parent())
        return;
    const QSignalBlocker block(m_ui->treeWidget);
    for (int i = 0; i < item->childCount(); ++i) {
        QTreeWidgetItem *child = item->child(i);
        if (child->flags() & Qt::ItemIsEnabled)
            child->setCheckState(0, item->checkState(0));
    }
}

void mergeFixAnnotationsDialog::accept()
{
    if (!m_reader->isConnected()) {
        prompts().warning(this, QStringLiteral("Device is disconnected. Closing."),
                          QStringLiteral("Device is disconnected. Closing."));
        QDialog::reject();
        return;
    }
    qDebug() << "Pre-processing checked items";
    std::vector<MergeFixProfile> profiles = m_inspection.profiles;
    for (MergeFixProfile &entry : profiles) {
        for (DuplicateRow &row : entry.rows)
            row.selected = false;
    }
    for (QTreeWidgetItemIterator it(m_ui->treeWidget); *it; ++it) {
        const int p = (*it)->data(0, profileRole).toInt();
        const int r = (*it)->data(0, rowRole).toInt();
        if (p < 0 || static_cast<size_t>(p) >= profiles.size() || r < 0 ||
            static_cast<size_t>(r) >= profiles[static_cast<size_t>(p)].rows.size())
            continue;
        const bool ticked = ((*it)->flags() & Qt::ItemIsEnabled) &&
                            (*it)->checkState(0) == Qt::Checked;
        profiles[static_cast<size_t>(p)].rows[static_cast<size_t>(r)].selected = ticked;
    }

    const fs::path runFolder = mergeFixCopyFolder(m_globals->datadir, m_reader->serial);
    Reader &reader = *m_reader;
    m_result = runMergeFix(profiles, runFolder, [&reader](const ProfileInfo &profile) {
        return stillConnected(reader, profile);
    });
    log += m_result.log;
    prompts().detailedMessage(Prompts::Information, this,
                              QStringLiteral("Finished merge/fix annotations"),
                              mergeFixMessageText(m_result, m_inspection.failed), log);
    QDialog::accept();
}

void mergeFixAnnotationsDialog::help()
{
    textViewer viewer(m_globals->helpfile, QStringLiteral("mergefix-annotations-on-device"), this,
                      QTextDocument::HtmlResource);
    viewer.exec();
}
