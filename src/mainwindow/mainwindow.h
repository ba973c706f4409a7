#pragma once

#include "mainwindow/updatecheck.h"
#include "readers/reader.h"
#include "viewer/exporttypes.h"

#include <QMainWindow>
#include <QModelIndex>
#include <QPersistentModelIndex>
#include <QPointer>
#include <QScopedPointer>
#include <QTimer>

#include <memory>

class AdvancedSearchWidget;
class BlockDeviceMonitor;
class DeviceMonitor;
class FileDownloader;
class QMenu;
class QAction;
class ReaderData;
class TextEditDelegate;
class annotationTable;
class annotationTableSortFilterProxyModel;
class globalsClass;
class gui_msgchannel;

namespace Ui {
class MainWindow;
}

/// The program's main window: the device selector and the annotation viewer with its
/// search, sort, filter and export controls. Lives on the GUI thread; reader events arrive
/// from the registry through the message channel's queued signals.
class MainWindow final : public QMainWindow
{
    Q_OBJECT
public:
    MainWindow(std::shared_ptr<ReaderData> registry, std::shared_ptr<gui_msgchannel> channel,
               std::shared_ptr<globalsClass> globals, QWidget *parent = nullptr);
    ~MainWindow() override;

    /// For tests and the start-up code: the model pair of the viewer (null when empty).
    annotationTable *tableModel() const { return m_model; }
    annotationTableSortFilterProxyModel *proxyModel() const { return m_proxy; }
    AdvancedSearchWidget *advancedSearch() const { return m_advancedSearch; }
    QMenu *deviceToolsMenu() const { return m_deviceToolsMenu; }
    QMenu *viewerToolsMenu() const { return m_viewerToolsMenu; }
    /// Selects the selector entry of `serial` (after its queued add event arrived).
    bool selectReader(const QString &serial);
    QString currentSerial() const { return m_currentSerial; }
    /// How long an update request may take (tests shorten it).
    void setUpdateTimeout(int ms) { m_updateTimeoutMs = ms; }
    /// Rescans by itself when block devices come or go, unless the settings disable the
    /// monitor; true when it listens. `debounceMs` < 0 takes the monitor's default.
    bool startDeviceMonitor(std::shared_ptr<BlockDeviceMonitor> source, int debounceMs = -1);

public slots:
    // Device selector and reader events
    void gui_device_add_main(QString serial, QString name, bool autosyncitem = false,
                             bool wassynced = false);
    void gui_device_add_card(QString serial);
    void gui_device_remove(QString serial, QString name, bool haslocalmirror);
    QString device_cbox_name(QString serial, QString name, QString newlabel = QString(),
                             bool isconnected = false);
    void device_cbox_IndexChanged(int index);
    void scan_for_devices();
    void gui_user_ejectdevice();
    void gui_user_EjectAllDevices();
    void enable_actionbuttons(bool isconnected, readerObjectType readertype = readerObjectType(-1),
                              readerVendor readervendor = readerVendor(0));
    void toggle_localmirror(bool active);
    bool make_localmirror(bool force = false);

    // Viewer control
    bool populate_annotations_viewer();
    void enable_annotationviewer_buttons(bool active);
    void annViewerModelDelete();
    void annViewerModelReset(bool enable_buttons = true);
    void annViewerDataReload();
    void setDefaultColumnSettings();
    bool annViewerLoadColumnSizes();
    void annViewerSaveColumnSizes();
    void annViewerScrollToRow(QModelIndex sourceIndex);
    void annViewerResizeRowsAll();
    void annViewerResizeRowsSmart();
    void annViewerResizeRowsRanged(int start, int stop);
    void annViewerClearFilters();
    void qmenu_walker(QMenu *menu, bool enable);
    void closeMenus();
    void toggle_showbookmarks(bool active);
    void toggle_searchCaseSensitive(bool enable);
    void toggle_sortCaseSensitive(bool enable);
    void toggle_sortOnDate(bool active);
    void toggle_sortOnTitleDate(bool active);
    void toggle_sortOnTitlePage(bool active);
    void toggle_setNumberRowsUsingDeviceID(bool active);
    void toggle_shownotesinline(bool enable);
    void toggle_stickySelection();
    void toggle_rowHighlightColorMode(int mode);
    void toggle_rowHighlightColorAsText();
    void contextFilterOnTitle(QModelIndex index, bool sortByTitlePage = false);
    void contextFilterOnAuthor(QModelIndex index);
    void contextClearFilterAndFocus(QModelIndex index);
    void contextCopy0(QModelIndex index);
    void contextCopy1();
    void contextFilterOnDate(QModelIndex index, bool toDate);
    void contextFilterOnPage(QModelIndex index, bool toPage);
    void annotations_export(export_output output, export_format format,
                            export_sortmode sortmode, bool fromcontextmenu = false);

    // Menus, settings and dialogs
    void createMenus();
    void readSettings();
    void writeSettings();
    void show_uploader();
    void show_backup_manual();
    void show_importbackup();
    void show_transferprogress();
    void show_mergefix_annotations();
    void show_checkDB();
    void show_settings();
    void show_setdevicelabel();
    void show_about();
    void show_help();
    void show_changelog();
    void show_debuglog();
    void show_datadir();
    void show_website();
    void show_donate();

    // Update check
    void updateCheckMain(updateMode mode);
    void updateCheckMain() { updateCheckMain(manual); }
    bool updateGetUserPermission();
    void updateProcessManifest(updateMode mode);

private:
    void updateStartupDecision();
    void setupConnections();
    void applyHeaderContextMenu(const QPoint &pos);
    void applyTableContextMenu(const QPoint &pos);
    void applyTextSearch();
    int entryIndex(const QString &serial) const;
    void updateDeviceCount();
    std::shared_ptr<Reader> currentReader() const { return m_currentReader.lock(); }
    /// The reader the dialog slots may work on, or null after the status-bar refusal.
    std::shared_ptr<Reader> readerForDialog(bool needsConnection);
    void setSortButton(QWidget *button);
    /// Copies the advanced search's bounds into the proxy and re-runs its filter.
    void applySearchBounds();
    /// Gives the advanced search the reader's earliest and newest annotation times.
    void setSearchDateRange(const Reader &reader);

    const QScopedPointer<Ui::MainWindow> m_ui;
    std::shared_ptr<ReaderData> m_registry;
    std::shared_ptr<gui_msgchannel> m_channel;
    std::shared_ptr<globalsClass> m_globals;

    QString m_currentSerial;
    QString m_lastReader;
    std::weak_ptr<Reader> m_currentReader;
    bool m_loadManually = false;

    annotationTable *m_model = nullptr;
    annotationTableSortFilterProxyModel *m_proxy = nullptr;
    TextEditDelegate *m_delegate = nullptr;
    AdvancedSearchWidget *m_advancedSearch = nullptr;
    QTimer m_textSearchTimer;
    QTimer m_rowResizeTimer;
    QTimer m_columnSaveTimer;

    QMenu *m_deviceToolsMenu = nullptr;
    QMenu *m_viewerToolsMenu = nullptr;
    QAction *m_actUploader = nullptr;
    QAction *m_actBackup = nullptr;
    QAction *m_actMergeFix = nullptr;
    QAction *m_actCheckDb = nullptr;
    QAction *m_actLocalMirror = nullptr;
    QAction *m_actDeviceLabel = nullptr;
    QAction *m_actTransfer = nullptr;
    QAction *m_actSearchCase = nullptr;
    QAction *m_actSortCase = nullptr;
    QAction *m_actSticky = nullptr;
    QAction *m_actNotesInline = nullptr;
    QAction *m_actShowBookmarks = nullptr;
    QAction *m_actDebuglog = nullptr;

    DeviceMonitor *m_deviceMonitor = nullptr;
    QPointer<FileDownloader> m_downloader;
    int m_updateTimeoutMs = updatecheck::requestTimeoutMs;
};
