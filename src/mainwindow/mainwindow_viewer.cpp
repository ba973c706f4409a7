// The annotation viewer: models for the selected reader, column layout, lazy row sizing,
// delayed text search, sort modes, toggles, context menus and export.

#include "mainwindow/mainwindow.h"
#include "ui_mainwindow.h"

#include "core/globalsclass.h"
#include "core/settingsstore.h"
#include "core/prompts.h"
#include "readers/reader.h"
#include "viewer/advancedsearchwidget.h"
#include "viewer/annotationexporter.h"
#include "viewer/annotationtable.h"
#include "viewer/annotationtablesortfilterproxymodel.h"
#include "viewer/rowresize.h"
#include "viewer/texteditdelegate.h"

#include <QClipboard>
#include <QDateTime>
#include <QDebug>
#include <QGuiApplication>
#include <QHeaderView>
#include <QMenu>
#include <QScrollBar>

#include <algorithm>
#include <set>

namespace {

enum Column { colDate = 0, colAuthor = 1, colTitle = 2, colPage = 3, colHighlight = 4, colNote = 5, colColor = 6 };

bool createdEarlier(const AnnotationRecord &a, const AnnotationRecord &b)
{
    return a.created < b.created;
}

} // namespace

void MainWindow::setupConnections()
{
    qDebug() << "Setup connections";
    connect(m_ui->pb_eject, &QToolButton::clicked, this, &MainWindow::gui_user_ejectdevice);
    connect(m_ui->actionEject_all_devices, &QAction::triggered, this,
            &MainWindow::gui_user_EjectAllDevices);
    connect(m_ui->scandevices_button, &QToolButton::clicked, this, &MainWindow::scan_for_devices);
    connect(m_ui->actionRescan_devices, &QAction::triggered, this, &MainWindow::scan_for_devices);
    connect(m_ui->exit, &QPushButton::clicked, this, &MainWindow::close);
    connect(m_ui->actionExit, &QAction::triggered, this, &MainWindow::close);
    connect(m_ui->actionOpen_datadir_path, &QAction::triggered, this, &MainWindow::show_datadir);
    connect(m_ui->actionHelp, &QAction::triggered, this, &MainWindow::show_help);
    connect(m_ui->actionAbout, &QAction::triggered, this, &MainWindow::show_about);
    connect(m_ui->actionWebsite, &QAction::triggered, this, &MainWindow::show_website);
    connect(m_ui->actionDonate, &QAction::triggered, this, &MainWindow::show_donate);
    connect(m_ui->actionChangelog, &QAction::triggered, this, &MainWindow::show_changelog);
    connect(m_ui->actionSettings, &QAction::triggered, this, &MainWindow::show_settings);
    connect(m_ui->actionScanArchiveReader, &QAction::triggered, this,
            &MainWindow::show_importbackup);
    connect(m_ui->actionCheck_for_Update, &QAction::triggered, this,
            qOverload<>(&MainWindow::updateCheckMain));

    connect(m_ui->export_toclipboard, &QPushButton::clicked, this, [this] {
        annotations_export(export_clipboard, export_format(m_ui->export_format->currentIndex()),
                           export_sortmode(m_ui->export_sortmode->currentIndex()), false);
    });
    connect(m_ui->export_tofile, &QPushButton::clicked, this, [this] {
        annotations_export(export_file, export_format(m_ui->export_format->currentIndex()),
                           export_sortmode(m_ui->export_sortmode->currentIndex()), false);
    });

    m_textSearchTimer.setSingleShot(true);
    m_rowResizeTimer.setSingleShot(true);
    m_columnSaveTimer.setSingleShot(true);
    connect(&m_textSearchTimer, &QTimer::timeout, this, &MainWindow::applyTextSearch);
    connect(&m_rowResizeTimer, &QTimer::timeout, this, &MainWindow::annViewerResizeRowsSmart);
    connect(&m_columnSaveTimer, &QTimer::timeout, this, &MainWindow::annViewerSaveColumnSizes);
    for (QLineEdit *field : {m_ui->search_author, m_ui->search_title, m_ui->search_text}) {
        connect(field, &QLineEdit::textChanged, this, [this] {
            if (m_proxy)
                m_textSearchTimer.start(int(m_globals->textSearchDelay));
        });
    }

    connect(m_ui->sortOnDate, &QToolButton::toggled, this, &MainWindow::toggle_sortOnDate);
    connect(m_ui->sortOnTitleDate, &QToolButton::toggled, this, &MainWindow::toggle_sortOnTitleDate);
    connect(m_ui->sortOnTitlePage, &QToolButton::toggled, this, &MainWindow::toggle_sortOnTitlePage);

    QHeaderView *header = m_ui->tableView->horizontalHeader();
    header->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(header, &QHeaderView::customContextMenuRequested, this,
            &MainWindow::applyHeaderContextMenu);
    connect(header, &QHeaderView::sectionResized, this, [this] {
        m_columnSaveTimer.start(int(m_globals->columnResizeDelay));
        m_rowResizeTimer.start(int(m_globals->columnResizeDelay));
    });
    connect(header, &QHeaderView::sectionCountChanged, this, [this] {
        annViewerResizeRowsSmart();
        const int rows = m_proxy ? m_proxy->rowCount() : 0;
        annViewerResizeRowsRanged(rows - 25, rows);
    });
    // Only the user's click makes the order "custom": the sort buttons move the sort
    // indicator too.
    connect(header, &QHeaderView::sectionClicked, this, [this] {
        const QSignalBlocker block(m_ui->sortOnCustom);
        m_ui->sortOnCustom->setChecked(true);
    });
    connect(m_ui->tableView, &QTableView::customContextMenuRequested, this,
            &MainWindow::applyTableContextMenu);
    connect(m_ui->tableView->verticalScrollBar(), &QScrollBar::valueChanged, this,
            [this] { m_rowResizeTimer.start(500); });
    connect(m_ui->totop, &QToolButton::clicked, this, [this] {
        annViewerResizeRowsRanged(0, 30);
        m_ui->tableView->scrollToTop();
    });
    connect(m_ui->tobottom, &QToolButton::clicked, m_ui->tableView, &QTableView::scrollToBottom);
    connect(m_ui->selectNone, &QPushButton::clicked, m_ui->tableView, &QTableView::clearSelection);
    connect(m_ui->selectAll, &QPushButton::clicked, m_ui->tableView, &QTableView::selectAll);

    for (const auto changed :
         {&AdvancedSearchWidget::changedPageFrom, &AdvancedSearchWidget::changedPageTo})
        connect(m_advancedSearch, changed, this, &MainWindow::applySearchBounds);
    for (const auto changed :
         {&AdvancedSearchWidget::changedDateFrom, &AdvancedSearchWidget::changedDateTo})
        connect(m_advancedSearch, changed, this, &MainWindow::applySearchBounds);
    connect(m_advancedSearch, &AdvancedSearchWidget::changedColors, this,
            &MainWindow::applySearchBounds);
    // Reset opens the end of the date range without necessarily moving "To".
    connect(m_advancedSearch, &AdvancedSearchWidget::filterReset, this,
            &MainWindow::applySearchBounds);
}

void MainWindow::applySearchBounds()
{
    if (!m_proxy)
        return;
    const SearchBounds bounds = m_advancedSearch->bounds();
    m_proxy->dateFrom = bounds.dateFrom;
    m_proxy->dateTo = bounds.dateTo;
    m_proxy->pageFrom = bounds.pageFrom;
    m_proxy->pageTo = bounds.pageTo;
    m_proxy->hiddenColors = m_advancedSearch->hiddenColors();
    m_proxy->invalidateFilter();
}

void MainWindow::setSearchDateRange(const Reader &reader)
{
    if (reader.annotations.empty())
        return;
    // The earliest annotation, not the first by id: ids follow the order the reader stored
    // them in, and "From" set past any annotation would hide it without a filter in sight.
    const auto [earliest, latest] =
        std::minmax_element(reader.annotations.begin(), reader.annotations.end(), createdEarlier);
    m_advancedSearch->setLatestDate(latest->created);
    m_advancedSearch->setEarliestDate(earliest->created);
    std::set<int> colors;
    for (const AnnotationRecord &annotation : reader.annotations)
        colors.insert(annotation.color);
    m_advancedSearch->setColors({colors.begin(), colors.end()});
}

bool MainWindow::populate_annotations_viewer()
{
    qDebug() << "Populating annotations viewer...";
    qDebug() << "Selected reader and profile nr:" << m_currentSerial << 0;
    const std::shared_ptr<Reader> reader = currentReader();
    if (!reader) {
        qWarning() << "Could not find reader entry";
        return false;
    }
    // The databases are read again on every population: a mirror may have been refreshed
    // while another reader was shown. The old pair goes first, since it reads the lists
    // that the import replaces.
    annViewerModelDelete();
    if (!reader->getAnnotations(0)) {
        qWarning() << "Failed populating annotation viewer";
        m_ui->statusbar->showMessage(QStringLiteral("Failed populating annotation viewer"));
        return false;
    }

    qDebug() << "Setting up new models.";
    m_model = new annotationTable(reader, this);
    m_proxy = new annotationTableSortFilterProxyModel(this);
    // What the search widget shows is what a new proxy applies.
    applySearchBounds();
    m_proxy->setSortRole(annotationTableSortFilterProxyModel::shownValueRole);
    m_proxy->setSourceModel(m_model);
    qDebug() << "Models created.";
    m_ui->tableView->setModel(m_proxy);
    m_ui->tableView->setItemDelegateForColumn(colHighlight, m_delegate);
    m_ui->tableView->setItemDelegateForColumn(colNote, m_delegate);

    if (!annViewerLoadColumnSizes())
        setDefaultColumnSettings();

    m_model->rowNumbersByDeviceId = m_globals->NumberRowsUsingDeviceID;
    m_model->rowHighlightColorMode = m_globals->rowHighlightColorMode;
    if (m_globals->rowHighlightColorAsText)
        m_model->rowHighlightColorAsText = !m_model->rowHighlightColorAsText;

    const bool inline_ = m_actNotesInline->isChecked();
    {
        const QSignalBlocker block(m_actNotesInline);
        m_actNotesInline->setChecked(inline_);
    }
    m_model->notesInline = inline_;
    m_ui->tableView->setColumnHidden(colNote, inline_);
    m_model->refreshAll();

    if (m_actSearchCase->isChecked())
        m_proxy->setSearchCaseSensitivity(Qt::CaseSensitive);
    if (m_actSortCase->isChecked())
        m_proxy->setSortCaseSensitivity(Qt::CaseSensitive);
    if (m_actShowBookmarks->isChecked())
        m_proxy->setShowBookmarks(true);

    m_ui->tableView->setSelectionMode(m_actSticky->isChecked() ? QAbstractItemView::MultiSelection
                                                               : QAbstractItemView::ExtendedSelection);

    if (!m_ui->search_author->text().isEmpty())
        m_proxy->setAuthorFilter(m_ui->search_author->text());
    if (!m_ui->search_title->text().isEmpty())
        m_proxy->setTitleFilter(m_ui->search_title->text());
    if (!m_ui->search_text->text().isEmpty())
        m_proxy->setSearchPattern(m_ui->search_text->text());

    setSearchDateRange(*reader);

    qDebug() << "Sorting and resizing viewer annotations";
    if (m_ui->sortOnDate->isChecked())
        toggle_sortOnDate(true);
    else if (m_ui->sortOnTitlePage->isChecked())
        toggle_sortOnTitlePage(true);
    else if (m_ui->sortOnTitleDate->isChecked())
        toggle_sortOnTitleDate(true);
    else
        toggle_sortOnDate(true);
    qDebug() << "Finished sorting";

    const int rows = m_proxy->rowCount();
    annViewerResizeRowsRanged(0, 15);
    annViewerResizeRowsRanged(rows - 25, rows);
    m_ui->tableView->show();
    m_ui->statusbar->showMessage(QStringLiteral("Loaded annotations..."));
    return true;
}

void MainWindow::enable_annotationviewer_buttons(bool active)
{
    qmenu_walker(m_viewerToolsMenu, active);
    for (QWidget *widget : std::initializer_list<QWidget *>{
             m_ui->search_author, m_ui->search_title, m_ui->search_text, m_ui->totop,
             m_ui->tobottom, m_ui->sortOnDate, m_ui->sortOnTitleDate, m_ui->sortOnTitlePage,
             m_ui->export_toclipboard, m_ui->export_tofile, m_ui->selectNone, m_ui->selectAll})
        widget->setEnabled(active);
    for (QWidget *child : m_advancedSearch->findChildren<QWidget *>())
        child->setEnabled(active);
}

void MainWindow::annViewerModelDelete()
{
    qDebug() << "Deleting (old) models...";
    if (m_ui->tableView->model())
        m_ui->tableView->setModel(nullptr);
    delete m_proxy;
    m_proxy = nullptr;
    delete m_model;
    m_model = nullptr;
}

void MainWindow::annViewerModelReset(bool enable_buttons)
{
    const bool populated = populate_annotations_viewer();
    if (enable_buttons)
        enable_annotationviewer_buttons(populated);
}

void MainWindow::annViewerDataReload()
{
    const std::shared_ptr<Reader> reader = currentReader();
    if (m_model)
        m_model->beginReload();
    if (reader) {
        qDebug() << "Reloading data";
        reader->getAnnotations(0);
    } else {
        qDebug() << "Failed reloading: reader not found";
    }
    if (m_model) {
        qDebug() << "Attempting model invalidate";
        m_model->endReload();
    }
    // Annotations made since the last load stay inside the range the user did not narrow.
    if (reader && !reader->annotations.empty()) {
        m_advancedSearch->setLatestDate(
            std::max_element(reader->annotations.begin(), reader->annotations.end(), createdEarlier)
                ->created);
    }
}

void MainWindow::setDefaultColumnSettings()
{
    qDebug() << "Restoring default column settings";
    QHeaderView *header = m_ui->tableView->horizontalHeader();
    header->setStretchLastSection(false);
    toggle_sortOnDate(true);
    {
        const QSignalBlocker block(m_actNotesInline);
        m_actNotesInline->setChecked(true);
    }
    if (m_model) {
        m_model->notesInline = true;
        m_model->refreshAll();
    }
    const int widths[] = {150, 180, 230, 50, 400, 150, 15};
    for (int column = 0; column < 7; ++column)
        m_ui->tableView->setColumnWidth(column, widths[column]);
    for (int column : {colDate, colAuthor, colNote})
        m_ui->tableView->setColumnHidden(column, true);
    for (int column : {colTitle, colPage, colHighlight, colColor})
        m_ui->tableView->setColumnHidden(column, false);
}

bool MainWindow::annViewerLoadColumnSizes()
{
    QHeaderView *header = m_ui->tableView->horizontalHeader();
    const bool block = !m_ui->sortOnCustom->isChecked();
    if (block)
        header->blockSignals(true);
    const auto settings = openIniSettings(m_globals->settingsGeneral);
    const bool restored =
        header->restoreState(settings->value(settingskeys::viewerColumnsettings).toByteArray());
    qDebug() << (restored ? "Restored header state" : "Failed to restore header state");
    if (block)
        header->blockSignals(false);
    if (header->stretchLastSection())
        header->setStretchLastSection(false);
    return restored;
}

void MainWindow::annViewerSaveColumnSizes()
{
    if (!m_proxy)
        return;
    const auto settings = openIniSettings(m_globals->settingsGeneral);
    settings->setValue(settingskeys::viewerColumnsettings,
                       m_ui->tableView->horizontalHeader()->saveState());
    settings->sync();
    if (settings->status() != QSettings::NoError) {
        qWarning() << "Couldn't save column settings. Is prefs file valid/writable? Status value:"
                   << settings->status();
    }
}

void MainWindow::annViewerScrollToRow(QModelIndex sourceIndex)
{
    if (!m_proxy || !sourceIndex.isValid())
        return;
    const QModelIndex row = m_proxy->mapFromSource(sourceIndex);
    if (row.isValid())
        m_ui->tableView->scrollTo(row, QAbstractItemView::PositionAtCenter);
}

void MainWindow::annViewerResizeRowsAll()
{
    qDebug() << "Resizing all rows";
    m_ui->tableView->resizeRowsToContents();
}

void MainWindow::annViewerResizeRowsRanged(int start, int stop)
{
    if (!m_proxy)
        return;
    const int end = std::min(stop, m_proxy->rowCount());
    for (int row = std::max(start, 0); row < end; ++row)
        m_ui->tableView->resizeRowToContents(row);
}

void MainWindow::annViewerResizeRowsSmart()
{
    if (!m_proxy)
        return;
    QTableView *view = m_ui->tableView;
    const int top = view->rowAt(0);
    const int bottom = view->rowAt(view->viewport()->height() - 1);
    const auto [start, end] = smartResizeRange(top, bottom, m_proxy->rowCount());
    annViewerResizeRowsRanged(start, end);
}

void MainWindow::annViewerClearFilters()
{
    m_ui->search_author->clear();
    m_ui->search_title->clear();
    m_ui->search_text->clear();
    m_advancedSearch->reset();
}

void MainWindow::applyTextSearch()
{
    if (!m_proxy)
        return;
    m_proxy->setSearchPattern(m_ui->search_text->text());
    m_proxy->setTitleFilter(m_ui->search_title->text());
    m_proxy->setAuthorFilter(m_ui->search_author->text());
}

void MainWindow::qmenu_walker(QMenu *menu, bool enable)
{
    for (QAction *action : menu->actions()) {
        if (action->isSeparator())
            continue;
        if (QMenu *submenu = action->menu())
            qmenu_walker(submenu, enable);
        else
            action->setEnabled(enable);
    }
}

void MainWindow::closeMenus()
{
    m_deviceToolsMenu->close();
    m_viewerToolsMenu->close();
    // The advanced search drops down inside a popup of the filter button.
    if (QWidget *popup = m_advancedSearch->window(); popup && popup != this)
        popup->close();
    qDebug() << "Closed menus";
}

void MainWindow::setSortButton(QWidget *button)
{
    auto *tool = qobject_cast<QToolButton *>(button);
    const QSignalBlocker block(tool);
    tool->setChecked(true);
}

// The proxy sorts each column by what it shows (dates in time order, titles in the reader's
// title order or, case-sensitive, as text), the same for these buttons as for a header click.
// Its sort is stable: the second sort keeps the first one's order among equal titles.
void MainWindow::toggle_sortOnDate(bool active)
{
    if (!active || !m_proxy)
        return;
    setSortButton(m_ui->sortOnDate);
    m_ui->tableView->sortByColumn(colDate, Qt::AscendingOrder);
    annViewerResizeRowsSmart();
    const int rows = m_proxy->rowCount();
    annViewerResizeRowsRanged(rows - 25, rows);
}

void MainWindow::toggle_sortOnTitleDate(bool active)
{
    if (!active || !m_proxy)
        return;
    setSortButton(m_ui->sortOnTitleDate);
    m_ui->tableView->sortByColumn(colDate, Qt::AscendingOrder);
    m_ui->tableView->sortByColumn(colTitle, Qt::AscendingOrder);
    annViewerResizeRowsSmart();
}

void MainWindow::toggle_sortOnTitlePage(bool active)
{
    if (!active || !m_proxy)
        return;
    setSortButton(m_ui->sortOnTitlePage);
    m_ui->tableView->sortByColumn(colPage, Qt::AscendingOrder);
    m_ui->tableView->sortByColumn(colTitle, Qt::AscendingOrder);
    annViewerResizeRowsSmart();
}

void MainWindow::toggle_searchCaseSensitive(bool enable)
{
    if (!m_proxy) {
        const QSignalBlocker block(m_actSearchCase);
        m_actSearchCase->setChecked(!enable);
        return;
    }
    m_proxy->setSearchCaseSensitivity(enable ? Qt::CaseSensitive : Qt::CaseInsensitive);
}

void MainWindow::toggle_sortCaseSensitive(bool enable)
{
    if (!m_proxy) {
        const QSignalBlocker block(m_actSortCase);
        m_actSortCase->setChecked(!enable);
        return;
    }
    m_proxy->setSortCaseSensitivity(enable ? Qt::CaseSensitive : Qt::CaseInsensitive);
}

void MainWindow::toggle_showbookmarks(bool active)
{
    {
        const auto settings = openIniSettings(m_globals->settingsGeneral);
        settings->setValue(settingskeys::showbookmarks, active);
    }
    if (!m_model) {
        const QSignalBlocker block(m_actShowBookmarks);
        m_actShowBookmarks->setChecked(!active);
        return;
    }
    m_proxy->setShowBookmarks(active);
}

void MainWindow::toggle_shownotesinline(bool enable)
{
    {
        const QSignalBlocker block(m_actNotesInline);
        m_actNotesInline->setChecked(enable);
    }
    if (!m_model)
        return;
    m_model->notesInline = enable;
    m_model->refreshAll();
    m_ui->tableView->setColumnHidden(colNote, enable);
}

void MainWindow::toggle_stickySelection()
{
    if (!m_model) {
        qWarning() << "No model, reverting sticky state.";
        m_actSticky->setChecked(!m_actSticky->isChecked());
        return;
    }
    m_ui->tableView->setSelectionMode(m_actSticky->isChecked() ? QAbstractItemView::MultiSelection
                                                               : QAbstractItemView::ExtendedSelection);
}

void MainWindow::toggle_setNumberRowsUsingDeviceID(bool active)
{
    if (!m_model || !m_proxy)
        return;
    m_model->rowNumbersByDeviceId = active;
    // refreshAll() re-runs the proxy's filter; a full invalidate() would lose the sort order.
    m_model->refreshAll();
}

void MainWindow::toggle_rowHighlightColorMode(int mode)
{
    if (!m_model)
        return;
    if (mode == colColor && m_ui->tableView->isColumnHidden(colColor))
        m_ui->tableView->setColumnHidden(colColor, false);
    m_globals->rowHighlightColorMode = mode;
    m_globals->saveRowHighlightSettings();
    m_model->rowHighlightColorMode = mode;
    m_model->refreshAll();
}

void MainWindow::toggle_rowHighlightColorAsText()
{
    if (!m_model)
        return;
    m_model->rowHighlightColorAsText = !m_model->rowHighlightColorAsText;
    m_globals->rowHighlightColorAsText = m_model->rowHighlightColorAsText;
    m_globals->saveRowHighlightSettings();
    if (m_model->rowHighlightColorAsText && m_ui->tableView->isColumnHidden(colColor))
        m_ui->tableView->setColumnHidden(colColor, false);
    m_model->refreshAll();
}

void MainWindow::applyHeaderContextMenu(const QPoint &pos)
{
    QMenu menu(this);
    QTableView *view = m_ui->tableView;
    auto flip = [view](int column) { view->setColumnHidden(column, !view->isColumnHidden(column)); };
    menu.addAction(QStringLiteral("Show/Hide Date"), this, [flip] { flip(colDate); });
    menu.addAction(QStringLiteral("Show/Hide Author"), this, [flip] { flip(colAuthor); });
    menu.addAction(QStringLiteral("Show/Hide Title"), this, [flip] { flip(colTitle); });
    QAction *note = menu.addAction(QStringLiteral("Show/Hide Notetext"), this, [flip] { flip(colNote); });
    note->setEnabled(!m_actNotesInline->isChecked());
    menu.addAction(QStringLiteral("Reset to default"), this, &MainWindow::setDefaultColumnSettings);
    menu.exec(view->horizontalHeader()->viewport()->mapToGlobal(pos));
}

void MainWindow::applyTableContextMenu(const QPoint &pos)
{
    if (!m_model)
        return;
    const QModelIndex index = m_ui->tableView->indexAt(pos);
    QMenu menu(this);
    menu.addAction(QStringLiteral("Copy this Cell"), this, [this, index] { contextCopy0(index); });
    menu.addAction(QStringLiteral("Copy selected Row(s) as text"), this, &MainWindow::contextCopy1);
    menu.addSeparator();
    menu.addAction(QStringLiteral("Filter on this Author"), this,
                   [this, index] { contextFilterOnAuthor(index); });
    menu.addAction(QStringLiteral("Filter on this Title"), this,
                   [this, index] { contextFilterOnTitle(index, false); });
    QMenu *sub = menu.addMenu(QStringLiteral("Filter on Date/Page"));
    sub->addAction(QStringLiteral("Filter on Date as 'from'"), this,
                   [this, index] { contextFilterOnDate(index, false); });
    sub->addAction(QStringLiteral("Filter on Date as 'to'"), this,
                   [this, index] { contextFilterOnDate(index, true); });
    sub->addAction(QStringLiteral("Filter on Page as 'start'"), this,
                   [this, index] { contextFilterOnPage(index, false); });
    sub->addAction(QStringLiteral("Filter on Page as 'end'"), this,
                   [this, index] { contextFilterOnPage(index, true); });
    menu.addAction(QStringLiteral("Filter on colour"), this, [this, index] {
        m_advancedSearch->showOnlyColor(index.siblingAtColumn(colColor).data(Qt::UserRole).toInt());
    });
    menu.addSeparator();
    menu.addAction(QStringLiteral("Clear filters and show this row"), this,
                   [this, index] { contextClearFilterAndFocus(index); });
    menu.exec(m_ui->tableView->viewport()->mapToGlobal(pos));
}

void MainWindow::contextCopy0(QModelIndex index)
{
    if (index.isValid())
        QGuiApplication::clipboard()->setText(index.data(Qt::DisplayRole).toString());
}

void MainWindow::contextCopy1()
{
    annotations_export(export_clipboard, export_plaintext, export_sort_viewer, true);
}

void MainWindow::contextFilterOnAuthor(QModelIndex index)
{
    if (index.isValid())
        m_ui->search_author->setText(index.siblingAtColumn(colAuthor).data().toString());
}

void MainWindow::contextFilterOnTitle(QModelIndex index, bool sortByTitlePage)
{
    if (!index.isValid() || !m_proxy)
        return;
    const QPersistentModelIndex source = m_proxy->mapToSource(index);
    m_ui->search_title->setText(index.siblingAtColumn(colTitle).data().toString());
    if (sortByTitlePage)
        toggle_sortOnTitlePage(true);
    QTimer::singleShot(1500, this, [this, source] { annViewerScrollToRow(source); });
}

void MainWindow::contextClearFilterAndFocus(QModelIndex index)
{
    const QPersistentModelIndex source =
        (m_proxy && index.isValid()) ? QPersistentModelIndex(m_proxy->mapToSource(index))
                                     : QPersistentModelIndex();
    annViewerClearFilters();
    QTimer::singleShot(750, this, [this, source] { annViewerScrollToRow(source); });
}

void MainWindow::contextFilterOnDate(QModelIndex index, bool toDate)
{
    if (!index.isValid())
        return;
    const QDateTime when = QDateTime::fromSecsSinceEpoch(
        index.siblingAtColumn(colDate).data(Qt::UserRole).toLongLong());
    if (toDate)
        m_advancedSearch->setDateTo(when);
    else
        m_advancedSearch->setDateFrom(when);
}

void MainWindow::contextFilterOnPage(QModelIndex index, bool toPage)
{
    if (!index.isValid())
        return;
    const int page = index.siblingAtColumn(colPage).data().toInt();
    if (toPage)
        m_advancedSearch->setPageTo(page);
    else
        m_advancedSearch->setPageFrom(page);
}

void MainWindow::annotations_export(export_output output, export_format format,
                                    export_sortmode sortmode, bool fromcontextmenu)
{
    QItemSelectionModel *selection = m_ui->tableView->selectionModel();
    if (!selection || !selection->hasSelection()) {
        m_ui->statusbar->showMessage(QStringLiteral("Export: nothing selected!"));
        return;
    }
    const AnnotationExporter exporter(selection, m_globals, output, format, sortmode, this,
                                      fromcontextmenu);
    m_ui->statusbar->showMessage(exporter.message());
}
