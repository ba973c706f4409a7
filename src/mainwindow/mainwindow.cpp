// Construction, menus, window settings and the dialog slots of the main window. The device
// selector lives in mainwindow_devices.cpp, the annotation viewer in mainwindow_viewer.cpp.

#include "mainwindow/mainwindow.h"
#include "ui_mainwindow.h"

#include "backup/dialogbackupmanual.h"
#include "backup/dialogtransferprogress.h"
#include "backup/importbackupdialog.h"
#include "core/globalsclass.h"
#include "core/settingsstore.h"
#include "core/textconv.h"
#include "mainwindow/aboutdialog.h"
#include "core/prompts.h"
#include "mainwindow/resources.h"
#include "mainwindow/setdevicelabeldialog.h"
#include "mainwindow/settingsdialog.h"
#include "mainwindow/settingslogic.h"
#include "mainwindow/textviewer.h"
#include "maintenance/checkdbtool.h"
#include "maintenance/mergefixannotationsdialog.h"
#include "readers/gui_msgchannel.h"
#include "readers/readerdata.h"
#include "uploader/uploaderdialog.h"
#include "viewer/advancedsearchwidget.h"
#include "viewer/annotationtable.h"
#include "viewer/annotationtablesortfilterproxymodel.h"
#include "viewer/texteditdelegate.h"

#include <QActionGroup>
#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QHeaderView>
#include <QMenu>
#include <QScrollBar>
#include <QUrl>
#include <QWidgetAction>

namespace fs = std::filesystem;

namespace {

const char *const notFoundOrDisconnected = "Selected readerdata not found / device not connected.";

} // namespace

MainWindow::MainWindow(std::shared_ptr<ReaderData> registry, std::shared_ptr<gui_msgchannel> channel,
                       std::shared_ptr<globalsClass> globals, QWidget *parent)
    : QMainWindow(parent)
    , m_ui(new Ui::MainWindow)
    , m_registry(std::move(registry))
    , m_channel(std::move(channel))
    , m_globals(std::move(globals))
{
    initMarloxResources();
    m_ui->setupUi(this);
    createMenus();

    m_delegate = new TextEditDelegate(this);
    m_advancedSearch = new AdvancedSearchWidget(this, 0);
    auto *searchAction = new QWidgetAction(this);
    searchAction->setDefaultWidget(m_advancedSearch);
    m_ui->annotationViewerFilterToolButton->addAction(searchAction);
    connect(m_advancedSearch, qOverload<int>(&AdvancedSearchWidget::filterChanged), this,
            [this] {
                m_ui->annotationViewerFilterToolButton->setIcon(
                    QIcon(QStringLiteral(":/icons/ICONS/filterEnabled.svg")));
            });
    connect(m_advancedSearch, &AdvancedSearchWidget::filterReset, this, [this] {
        m_ui->annotationViewerFilterToolButton->setIcon(
            QIcon(QStringLiteral(":/icons/ICONS/filterDisabled.svg")));
    });

    readSettings();
    enable_actionbuttons(false, readerObjectType(-1), readerVendor(0));

    connect(m_ui->device_cbox, qOverload<int>(&QComboBox::currentIndexChanged), this,
            &MainWindow::device_cbox_IndexChanged);
    connect(m_channel.get(), SIGNAL(device_added_main(QString, QString, bool, bool)), this,
            SLOT(gui_device_add_main(QString, QString, bool, bool)), Qt::QueuedConnection);
    connect(m_channel.get(), SIGNAL(device_added_card(QString)), this,
            SLOT(gui_device_add_card(QString)), Qt::QueuedConnection);
    connect(m_channel.get(), SIGNAL(device_removed(QString, QString, bool)), this,
            SLOT(gui_device_remove(QString, QString, bool)), Qt::QueuedConnection);

    if (m_loadManually) {
        connect(m_ui->pb_load_anndata, &QPushButton::clicked, this,
                [this] { enable_annotationviewer_buttons(populate_annotations_viewer()); });
    } else {
        m_ui->pb_load_anndata->hide();
    }

    setupConnections();
    // Once the event loop runs, so that the window and the first scan come before any box.
    QTimer::singleShot(0, this, &MainWindow::updateStartupDecision);
}

MainWindow::~MainWindow()
{
    writeSettings();
    annViewerModelDelete();
}

void MainWindow::createMenus()
{
    qDebug() << "Creating menu";
    m_deviceToolsMenu = new QMenu(QStringLiteral("Device Tools"), this);
    m_actUploader = m_deviceToolsMenu->addAction(QIcon(QStringLiteral(":/icons/ICONS/upload.svg")),
                                                 QStringLiteral("Send system files to device..."),
                                                 this, &MainWindow::show_uploader);
    m_actBackup = m_deviceToolsMenu->addAction(QStringLiteral("Manual Backup..."), this,
                                               &MainWindow::show_backup_manual);
    m_actMergeFix = m_deviceToolsMenu->addAction(QStringLiteral("Merge/fix annotations (V2)..."),
                                                 this, &MainWindow::show_mergefix_annotations);
    m_actCheckDb = m_deviceToolsMenu->addAction(QStringLiteral("Check DB integrity..."), this,
                                                &MainWindow::show_checkDB);
    m_actTransfer = m_deviceToolsMenu->addAction(
        QStringLiteral("Transfer reading progress from backup..."), this,
        &MainWindow::show_transferprogress);
    m_deviceToolsMenu->addSeparator();
    m_actLocalMirror = m_deviceToolsMenu->addAction(QStringLiteral("Store local database mirror..."));
    m_actLocalMirror->setCheckable(true);
    connect(m_actLocalMirror, &QAction::triggered, this, &MainWindow::toggle_localmirror);
    m_actDeviceLabel = m_deviceToolsMenu->addAction(QStringLiteral("Set devicelabel..."), this,
                                                    &MainWindow::show_setdevicelabel);
    m_ui->pb_tools->setMenu(m_deviceToolsMenu);

    m_viewerToolsMenu = new QMenu(QStringLiteral("Viewer Tools"), this);
    auto checkable = [this](const QString &text) {
        QAction *action = m_viewerToolsMenu->addAction(text);
        action->setCheckable(true);
        return action;
    };
    m_actSearchCase = checkable(QStringLiteral("Search Case-sensitive"));
    connect(m_actSearchCase, &QAction::toggled, this, &MainWindow::toggle_searchCaseSensitive);
    m_actSortCase = checkable(QStringLiteral("Sort Case-sensitive"));
    connect(m_actSortCase, &QAction::toggled, this, &MainWindow::toggle_sortCaseSensitive);
    m_actSticky = checkable(QStringLiteral("Sticky Selection"));
    connect(m_actSticky, &QAction::triggered, this, &MainWindow::toggle_stickySelection);
    m_viewerToolsMenu->addSeparator();
    m_actNotesInline = checkable(QStringLiteral("Show Notes Inline"));
    connect(m_actNotesInline, &QAction::toggled, this, &MainWindow::toggle_shownotesinline);
    m_actShowBookmarks = checkable(QStringLiteral("Show Bookmarks"));
    connect(m_actShowBookmarks, &QAction::toggled, this, &MainWindow::toggle_showbookmarks);
    m_viewerToolsMenu->addSeparator();
    QMenu *colorMenu = m_viewerToolsMenu->addMenu(QStringLiteral("Row color mode"));
    const std::pair<const char *, int> modes[] = {{"Full row (default)", -1},
                                                  {"Page column", 3},
                                                  {"Highlight/Note column", 4},
                                                  {"Color column", 6},
                                                  {"Disabled", -2}};
    for (const auto &[text, mode] : modes) {
        const int value = mode;
        colorMenu->addAction(QString::fromLatin1(text), this,
                             [this, value] { toggle_rowHighlightColorMode(value); });
    }
    m_viewerToolsMenu->addAction(QStringLiteral("Toggle row color text"), this,
                                 &MainWindow::toggle_rowHighlightColorAsText);
    m_viewerToolsMenu->addSeparator();
    m_viewerToolsMenu->addAction(QIcon(QStringLiteral(":/icons/ICONS/resizerows.svg")),
                                 QStringLiteral("Resize Rows"), this,
                                 &MainWindow::annViewerResizeRowsAll);
    m_viewerToolsMenu->addAction(QIcon(QStringLiteral(":/icons/ICONS/rescan.svg")),
                                 QStringLiteral("Reload Annotations"), this,
                                 &MainWindow::annViewerDataReload);
    m_viewerToolsMenu->addAction(QStringLiteral("Reset Viewer"), this,
                                 [this] { annViewerModelReset(true); });
    m_ui->viewer_ToolsMenu->setMenu(m_viewerToolsMenu);

    m_ui->menuHelp->addSeparator();
    m_actDebuglog = m_ui->menuHelp->addAction(QStringLiteral("Debuglog"), this,
                                              &MainWindow::show_debuglog);
}

void MainWindow::readSettings()
{
    const auto settings = openIniSettings(m_globals->settingsGeneral);
    if (settings->status() != QSettings::NoError) {
        qWarning() << "Settings NOT loaded from:" << toQString(m_globals->settingsGeneral)
                   << settings->status();
        prompts().warning(this, QStringLiteral("Settings NOT loaded"),
                          QStringLiteral("Settings NOT loaded from:\n %1\nPerhaps a directory "
                                         "already exists with the same name?\n Error code: %2.")
                              .arg(settings->fileName())
                              .arg(int(settings->status())));
        return;
    }

    qDebug() << "Try to restore window settings";
    resize(settings->value(settingskeys::windowSize, QSize(800, 550)).toSize());
    move(settings->value(settingskeys::windowPos, QPoint(0, 0)).toPoint());

    qDebug() << "Try to restore viewer settings";
    const QSignalBlocker blockSearchCase(m_actSearchCase);
    const QSignalBlocker blockSortCase(m_actSortCase);
    const QSignalBlocker blockBookmarks(m_actShowBookmarks);
    const QSignalBlocker blockInline(m_actNotesInline);
    m_actSearchCase->setChecked(readBool(*settings, settingskeys::searchCaseSensitive, false));
    m_actSortCase->setChecked(readBool(*settings, settingskeys::sortCaseSensitive, false));
    m_actShowBookmarks->setChecked(readBool(*settings, settingskeys::showBookmarks, false));
    m_actNotesInline->setChecked(readBool(*settings, settingskeys::showNotesInline, false));
    m_actSticky->setChecked(readBool(*settings, settingskeys::stickySelection, false));
    {
        const QSignalBlocker a(m_ui->sortOnDate);
        const QSignalBlocker b(m_ui->sortOnTitleDate);
        const QSignalBlocker c(m_ui->sortOnTitlePage);
        m_ui->sortOnDate->setChecked(readBool(*settings, settingskeys::sortOnDate, true));
        if (readBool(*settings, settingskeys::sortOnTitleDate, false))
            m_ui->sortOnTitleDate->setChecked(true);
        if (readBool(*settings, settingskeys::sortOnTitlePage, false))
            m_ui->sortOnTitlePage->setChecked(true);
    }
    auto comboIndex = [&](const QString &key, const QComboBox *combo) {
        const int stored = readInt(*settings, key, 0);
        return (stored < 0 || stored >= combo->count()) ? 0 : stored;
    };
    m_ui->export_format->setCurrentIndex(comboIndex(settingskeys::exportFormat, m_ui->export_format));
    m_ui->export_sortmode->setCurrentIndex(
        comboIndex(settingskeys::exportSortmode, m_ui->export_sortmode));
    m_lastReader = readString(*settings, settingskeys::lastReader);

    m_loadManually = readBool(*settings, settingskeys::disableLoadAnndata, false);

    const int preset = readInt(*settings, settingskeys::searchFilterPreset, -1);
    if (m_advancedSearch && preset >= 0)
        m_advancedSearch->setPreset(preset);
}

void MainWindow::writeSettings()
{
    const auto settings = openIniSettings(m_globals->settingsGeneral);
    settings->setValue(settingskeys::windowSize, size());
    settings->setValue(settingskeys::windowPos, pos());
    settings->setValue(settingskeys::lastReader, m_currentSerial);
    settings->setValue(settingskeys::searchauthor, m_ui->search_author->text());
    settings->setValue(settingskeys::searchtitle, m_ui->search_title->text());
    settings->setValue(settingskeys::searchtext, m_ui->search_text->text());
    settings->setValue(settingskeys::sortOnDate, m_ui->sortOnDate->isChecked());
    settings->setValue(settingskeys::sortOnTitleDate, m_ui->sortOnTitleDate->isChecked());
    settings->setValue(settingskeys::sortOnTitlePage, m_ui->sortOnTitlePage->isChecked());
    settings->setValue(settingskeys::searchCaseSensitive, m_actSearchCase->isChecked());
    settings->setValue(settingskeys::sortCaseSensitive, m_actSortCase->isChecked());
    settings->setValue(settingskeys::showBookmarks, m_actShowBookmarks->isChecked());
    settings->setValue(settingskeys::showNotesInline, m_actNotesInline->isChecked());
    settings->setValue(settingskeys::stickySelection, m_actSticky->isChecked());
    settings->setValue(settingskeys::exportFormat, m_ui->export_format->currentIndex());
    settings->setValue(settingskeys::exportSortmode, m_ui->export_sortmode->currentIndex());
    settings->setValue(settingskeys::tablerowPositionTop, m_ui->tableView->rowAt(0));
    const int preset = m_advancedSearch ? m_advancedSearch->currentPreset() : -1;
    settings->setValue(settingskeys::searchFilterPreset, preset == 5 ? -1 : preset);
    settings->sync();
    if (settings->status() != QSettings::NoError) {
        qWarning() << "Settings NOT saved (status code" << settings->status() << ") to: "
                   << toQString(m_globals->settingsGeneral);
    }
}

std::shared_ptr<Reader> MainWindow::readerForDialog(bool needsConnection)
{
    std::shared_ptr<Reader> reader = currentReader();
    if (reader && (!needsConnection || reader->isConnected()))
        return reader;
    qDebug() << notFoundOrDisconnected;
    m_ui->statusbar->showMessage(QString::fromLatin1(notFoundOrDisconnected));
    return nullptr;
}

void MainWindow::show_uploader()
{
    qDebug() << "Starting show_uploader()";
    const std::shared_ptr<Reader> reader = readerForDialog(true);
    if (!reader)
        return;
    const QStringList files = uploaderDialog::chooseFiles(this, *m_globals);
    if (files.isEmpty())
        return;
    uploaderDialog dialog(files, reader, m_globals, this);
    dialog.exec();
}

// The device tools below arrive with their own dialogs; until then their entries stay
// disabled and the slots only refuse.

void MainWindow::show_backup_manual()
{
    qDebug() << "Starting...";
    const std::shared_ptr<Reader> reader = readerForDialog(true);
    if (!reader)
        return;
    DialogBackupManual dialog(m_registry, m_globals, reader, this);
    dialog.exec();
}

bool MainWindow::selectReader(const QString &serial)
{
    // The registry's add event is queued: let it reach the selector first.
    QCoreApplication::sendPostedEvents(this);
    const int index = entryIndex(serial);
    if (index < 0)
        return false;
    m_ui->device_cbox->setCurrentIndex(index);
    return true;
}

void MainWindow::show_importbackup()
{
    importbackupDialog dialog(m_registry, m_globals, this);
    if (dialog.exec() == QDialog::Accepted)
        selectReader(dialog.loadedSerial());
}

void MainWindow::show_transferprogress()
{
    const std::shared_ptr<Reader> reader = readerForDialog(true);
    if (!reader)
        return;
    const auto settings = openIniSettings(m_globals->settingsGeneral);
    const QString last = readString(*settings, settingskeys::pathsLastimport);
    runProgressTransfer(m_registry, reader, last.isEmpty() ? QDir::homePath()
                                                           : QFileInfo(last).absolutePath(),
                        this);
}

void MainWindow::show_mergefix_annotations()
{
    qDebug() << "Starting...";
    const std::shared_ptr<Reader> reader = readerForDialog(true);
    if (!reader)
        return;
    const QString text =
        QStringLiteral("<p>This tool will modify the device's annotation database(s) for:<br />"
                       "%1 (%2)</p><p><b>Please backup the 'books.db' database(s) first.</b></p>"
                       "Continue?")
            .arg(toQString(reader->name).toHtmlEscaped(),
                 toQString(reader->mainpath).toHtmlEscaped());
    if (prompts().message(Prompts::Warning, this, QStringLiteral("Warning"), text,
                          Prompts::Buttons(Prompts::Ok) | Prompts::Cancel,
                          Prompts::Cancel) != Prompts::Ok) {
        qDebug() << "User cancelled mergeFixAnnotationsDialog";
        return;
    }
    int32_t rowsChanged = 0;
    {
        mergeFixAnnotationsDialog dialog(reader, m_globals, this);
        dialog.exec();
        rowsChanged = dialog.result().rowsChanged;
    }
    if (rowsChanged <= 0)
        return;
    // The viewer of a mirrored reader reads the mirror: refresh it so the merge shows.
    if (reader->readertype == readertype_localmirror && make_localmirror(true))
        return;
    annViewerDataReload();
}

void MainWindow::show_checkDB()
{
    const std::shared_ptr<Reader> reader = currentReader();
    if (!reader) {
        qDebug() << "Selected readerdata not found.";
        m_ui->statusbar->showMessage(QStringLiteral("Selected readerdata not found."));
        return;
    }
    runCheckDbTool(reader, m_globals, this);
}

void MainWindow::show_settings()
{
    settingsDialog dialog(m_globals, this, settingsform::readerVolumes(*m_registry));
    dialog.exec();
    const auto settings = openIniSettings(m_globals->settingsGeneral);
    if (settings->status() != QSettings::NoError)
        return;
    const bool numberRows = readBool(*settings, settingskeys::numberRowsUsingDeviceID, false);
    if (m_model && m_proxy) {
        toggle_setNumberRowsUsingDeviceID(numberRows);
    }
}

void MainWindow::show_setdevicelabel()
{
    const std::shared_ptr<Reader> reader = readerForDialog(false);
    if (!reader)
        return;
    setDeviceLabelDialog dialog(m_globals->settingsDevices, reader, this);
    dialog.exec();
    if (dialog.newLabel() != dialog.oldLabel()) {
        const int index = entryIndex(m_currentSerial);
        if (index >= 0) {
            m_ui->device_cbox->setItemText(
                index, device_cbox_name(m_currentSerial, QString::fromStdString(reader->name),
                                        dialog.changed() ? dialog.newLabel() : QString(),
                                        reader->connected));
        }
    }
}

void MainWindow::show_about()
{
    aboutDialog dialog(this);
    dialog.exec();
}

void MainWindow::show_help()
{
    qDebug() << "Opening help HTML file...";
    textViewer viewer(m_globals->helpfile, QString(), this, QTextDocument::HtmlResource);
    viewer.exec();
}

void MainWindow::show_changelog()
{
    qDebug() << "Opening changelog TXT file...";
    // Beside the program in portable mode and in the build folder; an installed program
    // keeps it with its documentation.
    fs::path changelog = m_globals->appdir / "changelog.txt";
    std::error_code ec;
    if (!fs::exists(changelog, ec))
        changelog = m_globals->helpfile.parent_path().parent_path() / "changelog.txt";
    textViewer viewer(changelog, QString(), this, QTextDocument::MarkdownResource);
    viewer.exec();
}

void MainWindow::show_debuglog()
{
    qDebug() << "Opening debug log...";
    prompts().openUrl(QUrl::fromLocalFile(toQString(m_globals->logfile)));
}

void MainWindow::show_datadir()
{
    std::error_code ec;
    if (m_globals->datadir.empty() || !fs::exists(m_globals->datadir, ec)) {
        prompts().warning(this, QStringLiteral("No datadir set"),
                          QStringLiteral("Data dir wasn't (yet) created. Unless you explicitely "
                                         "specified a datadir (CLI/GUI), you can ignore this "
                                         "warning."));
        return;
    }
    prompts().openUrl(QUrl::fromLocalFile(toQString(m_globals->datadir)));
}

void MainWindow::show_website()
{
    prompts().openUrl(QUrl(QString::fromStdString(m_globals->websiteURL)));
}

void MainWindow::show_donate()
{
    QUrl url(QString::fromStdString(m_globals->websiteURL));
    url.setFragment(QStringLiteral("donate"));
    prompts().openUrl(url);
}
