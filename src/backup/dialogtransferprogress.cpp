#include "backup/dialogtransferprogress.h"
#include "ui_dialogtransferprogress.h"

#include "backup/dialogtransferprofiles.h"
#include "core/prompts.h"
#include "core/textconv.h"
#include "readers/readerdata.h"

#include <QColor>
#include <QDebug>
#include <QFileInfo>
#include <QGuiApplication>
#include <QIcon>

namespace {

enum Column {
    colTitle = 0, colAuthor, colFormat, colProfile, colPage, colPageTotal, colSize, colCompleted,
    colInfo, colBookId, colDest, colRedundant, columnCount
};

// Where a child item's entry lives in the review.
constexpr int bookRole = Qt::UserRole;
constexpr int groupRole = Qt::UserRole + 1;
constexpr int entryRole = Qt::UserRole + 2;

const QString transferTitle = QStringLiteral("Transfer readprogress");

// Removes the temporary source reader when the transfer ends, however it ends.
struct TemporaryReaderGuard
{
    std::shared_ptr<ReaderData> registry;
    std::string serial;
    ~TemporaryReaderGuard()
    {
        if (registry && !serial.empty())
            registry->removeReader(serial, {}, false);
    }
};

void setHeaders(QTreeWidgetItem *header)
{
    const QStringList names{"Title", "Author", "Format", "ProfileID", "Page at", "Page Total",
                            "Size", "Completed", "Info", "bookid", "dest", "redundant"};
    for (int i = 0; i < names.size(); ++i)
        header->setText(i, names[i]);
}

void fillBookColumns(QTreeWidgetItem *item, const ExplorerBook &book)
{
    item->setText(colTitle, book.title);
    item->setToolTip(colTitle, book.title);
    item->setText(colAuthor, book.author);
    item->setToolTip(colAuthor, book.author);
    item->setText(colFormat, book.ext);
    item->setText(colSize, QString::number(book.size));
    item->setText(colBookId, QString::number(book.bookId));
}

QTreeWidgetItem *entryItem(QTreeWidgetItem *parent, const ProgressCandidate &entry, bool proposed)
{
    auto *item = new QTreeWidgetItem(parent);
    const ProfileProgress &p = entry.progress;
    item->setText(colTitle, QStringLiteral("%3: %1%2 (page %4/%5)")
                                .arg(entry.isDestination() ? QStringLiteral("Keep current")
                                                           : QStringLiteral("Proposed"),
                                     proposed ? QStringLiteral("*") : QString())
                                .arg(p.mappedProfileId)
                                .arg(p.cpage + 1)
                                .arg(p.npage + 1));
    item->setText(colProfile, QString::number(p.mappedProfileId));
    item->setText(colPage, QString::number(p.cpage + 1));
    item->setText(colPageTotal, QString::number(p.npage + 1));
    item->setText(colSize, QString::number(p.size));
    item->setText(colCompleted, p.completed ? QStringLiteral("Yes") : QStringLiteral("No"));
    item->setText(colDest, entry.isDestination() ? QStringLiteral("1") : QStringLiteral("0"));
    QString info;
    auto mark = [&](bool on, const QString &text, int column, const char *colour,
                    const char *icon) {
        if (!on)
            return;
        info += text;
        item->setToolTip(column, text);
        item->setBackground(column, QColor(QLatin1String(colour)));
        item->setIcon(colTitle, QIcon::fromTheme(QLatin1String(icon)));
    };
    mark(entry.pageTotalDiffers, QStringLiteral("Total page count differs; "), colPageTotal,
         "yellow", "dialog-warning");
    mark(entry.completedDiffers, QStringLiteral("Completed state differs; "), colCompleted,
         "yellow", "dialog-warning");
    mark(entry.sizeDiffers, QStringLiteral("Size differs; "), colSize, "yellow",
         "dialog-warning");
    mark(entry.noDestination, QStringLiteral("Seems OK, but can't compare page total; "),
         colPageTotal, "orange", "dialog-question");
    item->setText(colInfo, info);
    return item;
}

} // namespace

DialogTransferProgress::DialogTransferProgress(std::shared_ptr<ReaderData> registry,
                                               std::shared_ptr<Reader> source,
                                               std::shared_ptr<Reader> destination,
                                               ProfileMap profileMap, const QString &sourceFile,
                                               QWidget *parent)
    : QDialog(parent)
    , m_ui(new Ui::DialogTransferProgress)
    , m_registry(std::move(registry))
    , m_source(std::move(source))
    , m_destination(std::move(destination))
    , m_profileMap(std::move(profileMap))
{
    m_ui->setupUi(this);
    std::vector<ExplorerBook> destinationBooks;
    std::vector<ExplorerBook> sourceBooks;
    if (!m_destination || !m_destination->readExplorerBooks(destinationBooks, true, {})) {
        qWarning() << "Failed reading destination DB";
        prompts().warning(this, QStringLiteral("Failed reading destination DB"),
                          QStringLiteral("Failed reading destination DB"));
    }
    if (!m_source || !m_source->readExplorerBooks(sourceBooks, false, m_profileMap)) {
        qWarning() << "Failed reading source DB";
        prompts().warning(this, QStringLiteral("Failed reading source DB"),
                          QStringLiteral("Failed reading source DB. Stopping"));
    }
    m_review = classifyTransfer(destinationBooks, sourceBooks, m_profileMap);
    qDebug() << "Finished loading destination";
    fillTrees(sourceFile);

    connect(m_ui->treeWidget, &QTreeWidget::itemChanged, this,
            &DialogTransferProgress::childChanged);
    connect(m_ui->toggleRedundant, &QPushButton::clicked, this,
            &DialogTransferProgress::toggleRedundant);
    connect(m_ui->expand_all, &QPushButton::clicked, this, &DialogTransferProgress::expandAll);
    connect(m_ui->select_none, &QPushButton::clicked, this, &DialogTransferProgress::selectNone);
    connect(m_ui->buttonBox, &QDialogButtonBox::accepted, this, &DialogTransferProgress::accept);
    connect(m_ui->buttonBox, &QDialogButtonBox::rejected, this, &DialogTransferProgress::reject);
}

DialogTransferProgress::~DialogTransferProgress()
{
    if (m_source && m_registry)
        m_registry->removeReader(m_source->serial, {}, false);
    else
        qDebug() << "No temporary reader to remove";
}

void DialogTransferProgress::fillTrees(const QString &sourceFile)
{
    QTreeWidget *tree = m_ui->treeWidget;
    QTreeWidget *unmatched = m_ui->treeWidget_unmatched;
    for (QTreeWidget *t : {tree, unmatched}) {
        t->setColumnCount(columnCount);
        setHeaders(t->headerItem());
    }
    tree->setSortingEnabled(false);

    qDebug() << "Adding unmatching items";
    for (const ExplorerBook &book : m_review.unmatched) {
        auto *item = new QTreeWidgetItem(unmatched);
        fillBookColumns(item, book);
        item->setIcon(colTitle, QIcon::fromTheme(QStringLiteral("dialog-warning")));
        item->setFlags(Qt::NoItemFlags);
        for (const ProfileProgress &p : book.progress) {
            ProgressCandidate entry;
            entry.progress = p;
            entry.sourceBookId = book.bookId;
            entryItem(item, entry, false)->setFlags(Qt::NoItemFlags);
        }
    }

    qDebug() << "Adding matched entries";
    int redundant = 0;
    for (size_t b = 0; b < m_review.books.size(); ++b) {
        const ReviewBook &book = m_review.books[b];
        auto *item = new QTreeWidgetItem(tree);
        fillBookColumns(item, book.book);
        item->setFlags(Qt::ItemIsEnabled);
        if (book.groups.empty() || book.redundant()) {
            item->setText(colInfo, book.groups.empty() ? QString()
                                                       : QStringLiteral("No difference; "));
            if (!book.groups.empty())
                item->setBackground(colTitle, QColor(QStringLiteral("lightgrey")));
            // A book with something to look at stays in sight even when nothing changes.
            if (!book.conflict) {
                item->setText(colRedundant, QStringLiteral("1"));
                item->setHidden(true);
                ++redundant;
            }
        } else {
            item->setText(colInfo, QStringLiteral("Updating progress; "));
            item->setBackground(colTitle, QColor(QStringLiteral("lime")));
        }
        for (size_t g = 0; g < book.groups.size(); ++g) {
            const ProgressGroup &group = book.groups[g];
            for (size_t e = 0; e < group.entries.size(); ++e) {
                const bool proposed = int(e) == group.proposed;
                QTreeWidgetItem *child = entryItem(item, group.entries[e], proposed);
                child->setData(colTitle, bookRole, int(b));
                child->setData(colTitle, groupRole, int(g));
                child->setData(colTitle, entryRole, int(e));
                // One entry alone in its group leaves nothing to choose.
                if (group.entries.size() > 1) {
                    child->setFlags(Qt::ItemIsEnabled | Qt::ItemIsUserCheckable);
                    child->setCheckState(colTitle, proposed ? Qt::Checked : Qt::Unchecked);
                } else {
                    child->setFlags(Qt::NoItemFlags);
                }
            }
        }
        if (book.conflict) {
            item->setExpanded(true);
            item->setBackground(colTitle, QColor(QStringLiteral("yellow")));
            item->setIcon(colTitle, QIcon::fromTheme(QStringLiteral("dialog-warning")));
        }
    }
    qDebug() << "Adding GUI elements";

    m_ui->label_warning->setText(
        QStringLiteral("Found %1 potential conflicts (marked Yellow). These often involve "
                       "duplicate titles.")
            .arg(m_review.conflicts));
    if (m_review.conflicts != 0)
        m_ui->label_warning->setStyleSheet(QStringLiteral("background-color: yellow;"));
    m_ui->label_source_dest->setText(
        QStringLiteral("<em>Destination/source: <strong>%1</strong> (%2) <- %3 </em>")
            .arg(m_destination ? toQString(m_destination->name).toHtmlEscaped() : QString(),
                 m_destination ? toQString(m_destination->mainpath).toHtmlEscaped() : QString(),
                 QFileInfo(sourceFile).fileName().toHtmlEscaped()));
    m_ui->toggleRedundant->setText(
        QStringLiteral("Show/Hide %1 redundant items").arg(redundant));
    const int widths[] = {300, 200, 60, 55, 60, 70};
    for (int i = 0; i < 6; ++i) {
        tree->setColumnWidth(i, widths[i]);
        unmatched->setColumnWidth(i, widths[i]);
    }
    tree->setColumnWidth(colCompleted, 75);
    tree->hideColumn(colRedundant);
    for (int c : {colProfile, colBookId, colDest})
        unmatched->hideColumn(c);
    tree->setSortingEnabled(true);
    tree->sortByColumn(colTitle, Qt::AscendingOrder);
    m_askBeforeClosing = tree->topLevelItemCount() > 0;
}

void DialogTransferProgress::childChanged(QTreeWidgetItem *item, int column)
{
    if (column != colTitle || !item->parent() || item->checkState(colTitle) != Qt::Checked)
        return;
    // One choice per book and profile: checking an entry unchecks the others of its group.
    const QSignalBlocker block(m_ui->treeWidget);
    QTreeWidgetItem *book = item->parent();
    for (int i = 0; i < book->childCount(); ++i) {
        QTreeWidgetItem *other = book->child(i);
        if (other != item &&
            other->data(colTitle, groupRole) == item->data(colTitle, groupRole) &&
            (other->flags() & Qt::ItemIsUserCheckable))
            other->setCheckState(colTitle, Qt::Unchecked);
    }
}

std::vector<TransferChoice> DialogTransferProgress::choices() const
{
    std::vector<TransferChoice> result;
    const QTreeWidget *tree = m_ui->treeWidget;
    for (int i = 0; i < tree->topLevelItemCount(); ++i) {
        const QTreeWidgetItem *book = tree->topLevelItem(i);
        for (int c = 0; c < book->childCount(); ++c) {
            const QTreeWidgetItem *child = book->child(c);
            if (!(child->flags() & Qt::ItemIsUserCheckable) ||
                child->checkState(colTitle) != Qt::Checked)
                continue;
            const ReviewBook &reviewBook =
                m_review.books[size_t(child->data(colTitle, bookRole).toInt())];
            const ProgressGroup &group =
                reviewBook.groups[size_t(child->data(colTitle, groupRole).toInt())];
            const ProgressCandidate &entry =
                group.entries[size_t(child->data(colTitle, entryRole).toInt())];
            result.push_back({reviewBook.book.bookId, reviewBook.book.title, group.profileId,
                              !entry.isDestination(), entry.progress.cpage,
                              entry.progress.npage});
        }
    }
    return result;
}

void DialogTransferProgress::accept()
{
    const std::vector<TransferChoice> chosen = choices();
    qInfo() << "Reviewed books:" << m_review.books.size() << "choices:" << chosen.size();
    prompts().information(this, QStringLiteral("Review of reading progress"),
                          transferReport(chosen));
    QDialog::accept();
}

void DialogTransferProgress::reject()
{
    qDebug() << "Reject";
    if (m_askBeforeClosing &&
        prompts().question(this, QStringLiteral("Sure you want to close?"),
                           QStringLiteral("Sure you want to close?")) != Prompts::Yes)
        return;
    QDialog::reject();
}

void DialogTransferProgress::toggleRedundant()
{
    QTreeWidget *tree = m_ui->treeWidget;
    for (int i = 0; i < tree->topLevelItemCount(); ++i) {
        QTreeWidgetItem *item = tree->topLevelItem(i);
        if (!item->text(colRedundant).isEmpty())
            item->setHidden(!item->isHidden());
    }
}

void DialogTransferProgress::expandAll()
{
    QTreeWidget *tree = m_ui->treeWidget;
    for (int i = 0; i < tree->topLevelItemCount(); ++i) {
        QTreeWidgetItem *item = tree->topLevelItem(i);
        if (!item->isHidden())
            item->setExpanded(!m_expanded);
    }
    m_expanded = !m_expanded;
}

void DialogTransferProgress::selectNone()
{
    const QSignalBlocker block(m_ui->treeWidget);
    QTreeWidget *tree = m_ui->treeWidget;
    for (int i = 0; i < tree->topLevelItemCount(); ++i) {
        QTreeWidgetItem *item = tree->topLevelItem(i);
        if (item->isHidden())
            continue;
        for (int c = 0; c < item->childCount(); ++c) {
            QTreeWidgetItem *child = item->child(c);
            if (!child->isHidden() && (child->flags() & Qt::ItemIsUserCheckable))
                child->setCheckState(colTitle, Qt::Unchecked);
        }
    }
}

std::pair<QString, std::shared_ptr<Reader>>
loadTransferSource(const std::shared_ptr<ReaderData> &registry, const QString &startFolder,
                   QWidget *parent)
{
    const QStringList chosen = prompts().openFileNames(
        parent, QStringLiteral("Select .zip backup archive or explorer DB file"), startFolder,
        QStringLiteral("Supported file (*.zip *.db)"));
    if (chosen.isEmpty() || chosen.first().isEmpty())
        return {};
    const QString path = chosen.first();
    qDebug() << "Got filepath";
    const std::string serial = registry->newVirtualSerial();
    qInfo() << "Temporary reader serial:" << toQString(serial);
    std::string why;
    if (!registry->ScanDBfile(toPath(path), serial, {}, false, false, 0, &why)) {
        qWarning() << "Failed getdb read";
        prompts().warning(parent, transferTitle,
                          QStringLiteral("The backup could not be loaded:\n") +
                              QString::fromStdString(why));
        return {path, nullptr};
    }
    const std::shared_ptr<Reader> reader = registry->findReader(serial);
    if (!reader)
        qWarning() << "Can't find virtual reader. Cancelling...";
    return {path, reader};
}

void runProgressTransfer(const std::shared_ptr<ReaderData> &registry,
                         const std::shared_ptr<Reader> &destination, const QString &startFolder,
                         QWidget *parent)
{
    const auto [path, source] = loadTransferSource(registry, startFolder, parent);
    if (!source)
        return;
    const TemporaryReaderGuard guard{registry, source->serial};

    const ProfileList sourceProfiles = source->get_profilesIDs();
    const ProfileList destinationProfiles = destination->get_profilesIDs();
    ProfileMap map;
    if (sourceProfiles.size() == 1 && destinationProfiles.size() == 1) {
        map.emplace_back(sourceProfiles.front().first, destinationProfiles.front().first);
    } else {
        DialogTransferProfiles profiles(sourceProfiles, destinationProfiles, parent);
        if (profiles.exec() != QDialog::Accepted)
            return;
        map = profiles.profileMap();
    }
    DialogTransferProgress review(registry, source, destination, map, path, parent);
    review.exec();
}
