// The main window as a user drives it: readers in the selector, the viewer over their
// annotations, sorting, searching, exporting, the local mirror and the window's settings.
// Real registry, databases and settings files; fake udev, mounts and message boxes.

#include "core/globalsclass.h"
#include "core/settingsstore.h"
#include "mainwindow/mainwindow.h"
#include "mainwindow/setdevicelabeldialog.h"
#include "mainwindow/textviewer.h"
#include "readers/gui_msgchannel.h"
#include "readers/readerdata.h"
#include "support/fakeplatform.h"
#include "support/fakeprompts.h"
#include "support/testenv.h"
#include "readerfixture/readerfixture.h"
#include "viewer/advancedsearchwidget.h"
#include "viewer/annotationtable.h"
#include "viewer/annotationtablesortfilterproxymodel.h"
#include "viewer/searchpresets.h"

#include <QAbstractItemModelTester>
#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPointer>
#include <QPushButton>
#include <QStatusBar>
#include <QTableView>
#include <QTemporaryDir>
#include <QTimer>
#include <QToolButton>
#include <QtTest>

#include <filesystem>

namespace fs = std::filesystem;

namespace {

template <typename T>
T *child(QWidget *window, const char *name)
{
    T *widget = window->findChild<T *>(QString::fromLatin1(name));
    if (!widget)
        qFatal("no widget %s", name);
    return widget;
}

QAction *menuAction(QMenu *menu, const QString &text)
{
    for (QAction *action : menu->actions()) {
        if (action->text() == text)
            return action;
    }
    qFatal("no action %s", qPrintable(text));
    return nullptr;
}

// Answers the next modal dialog once it is up: `work` gets the dialog.
void onNextModal(std::function<void(QWidget *)> work)
{
    QTimer::singleShot(0, [work] {
        QWidget *modal = QApplication::activeModalWidget();
        if (!modal) {
            onNextModal(work);
            return;
        }
        work(modal);
    });
}

} // namespace

class tst_mainwindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void selector_entryTexts_connectedLabelledAndPlain();
    void selector_mirrorReaderUnplugged_keepsEntryWithoutConnected();
    void selector_restoresLastReaderOnlyOnce();
    void selector_rescanKeepsSelection();
    void selector_readerRemovedWhileSelected_disablesEverything();
    void selector_entryAboveRemoved_viewerKeepsItsRows();
    void selector_pickingMirrorReader_showsItsRefreshedMirror();
    void actions_enabledByReaderKindAndConnection();
    void mergefix_confirmationEscapesNameAndPath_cancelWritesNothing();
    void loadArchived_fromMainMenu_selectsVirtualReaderWithoutMirrorOrLabel();

    void viewer_populatesAndSortsByDate();
    void viewer_sortModes_titleDateAndTitlePage();
    void viewer_sortCaseSensitive_titleDateKeepsDateOrder();
    void viewer_textSearch_filtersAfterTheDelay();
    void viewer_loadFailure_showsStatusAndNoModel();
    void viewer_defaultColumns_hideDateAuthorNote();
    void viewer_contextFilters_fillSearchFieldsAndBounds();
    void viewer_newerAnnotations_shownUnlessToChosen();
    void viewer_newProxy_appliesTheSearchWidgetsBounds();
    void viewer_headerClick_sortsByWhatTheColumnShows_data();
    void viewer_headerClick_sortsByWhatTheColumnShows();

    void export_fromBarAndContextMenu();
    void export_nothingSelected_saysSo();

    void mirror_toggleOnCopiesAndToggleOffAsks();
    void mirror_toggleOffDisconnected_removesEntry();
    void mirror_toggleOnKeptVirtualReader_keepsItsKind();

    void settings_roundTrip();
    void settings_fileIsDirectory_warnsOnce();
    void settings_storedExportIndexOutOfRange_firstItem();
    void labelDialog_storesLabelAndRenamesEntry();
    void changelog_foundBesideProgramOrInDocs();

private:
    fs::path dir(const char *relative) const { return fs::path(m_root->path().toStdString()) / relative; }
    /// A reader with two books and annotations on its main memory, plugged in.
    fixture::ReaderTree plugIn(const std::string &serial, const char *mount, const std::string &label,
                               const std::string &node);
    void newWindow();
    void writeGeneral(const QByteArray &ini);
    /// The first six letters of each shown highlight, in the viewer's order.
    QStringList shownTexts();
    QComboBox *selector() { return child<QComboBox>(m_window.get(), "device_cbox"); }

    std::unique_ptr<QTemporaryDir> m_root;
    std::unique_ptr<FakePrompts> m_prompts;
    std::shared_ptr<globalsClass> m_globals;
    std::shared_ptr<gui_msgchannel> m_channel;
    std::shared_ptr<FakeBlockDevices> m_devices;
    std::shared_ptr<FakeMounts> m_mounts;
    std::shared_ptr<ReaderData> m_registry;
    std::unique_ptr<MainWindow> m_window;
};

void tst_mainwindow::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
}

void tst_mainwindow::init()
{
    m_root = std::make_unique<QTemporaryDir>();
    m_prompts = std::make_unique<FakePrompts>();
    m_globals = std::make_shared<globalsClass>(false, m_root->path().toStdString(),
                                               dir("data").string(), dir("share"), dir("config"));
    writeGeneral({});
    m_globals->textSearchDelay = 10;
    m_globals->columnResizeDelay = 500;
    m_channel = std::make_shared<gui_msgchannel>();
    m_devices = std::make_shared<FakeBlockDevices>();
    m_devices->devices = std::vector<BlockDevice>{};
    m_mounts = std::make_shared<FakeMounts>();
    m_registry = std::make_shared<ReaderData>(m_channel, m_globals, false,
                                              makeFakePlatform(m_devices, m_mounts));
}

void tst_mainwindow::cleanup()
{
    m_window.reset();
    m_registry.reset();
    m_prompts.reset();
    m_root.reset();
}

fixture::ReaderTree tst_mainwindow::plugIn(const std::string &serial, const char *mount,
                                           const std::string &label, const std::string &node)
{
    fixture::ReaderTree tree(dir(mount));
    tree.addExplorerDb();
    fixture::BooksDb db(tree.addRootProfile());
    const int64_t dune = db.addBook("Dune", "Frank Herbert");
    const int64_t emma = db.addBook("emma", "Jane Austen");
    db.addAnnotation(dune, {"highlight", 10, 1, 1600000300, "spice must flow", "", "yellow"});
    db.addAnnotation(emma, {"note", 3, 5, 1600000100, "handsome, clever, and rich", "a note", "blue"});
    db.addAnnotation(dune, {"highlight", 2, 7, 1600000200, "fear is the mind-killer", "", "red"});
    db.addAnnotation(emma, {"bookmark", 9, 0, 1600000400, "Bookmark", "", ""});
    if (m_devices->devices)
        m_devices->devices->push_back(pocketBookDevice(serial, node, label));
    m_mounts->mount(node, tree.root(), label);
    return tree;
}

void tst_mainwindow::newWindow()
{
    // A new window is a new run of the program: a new registry, a new first scan.
    m_window.reset();
    m_registry = std::make_shared<ReaderData>(m_channel, m_globals, false,
                                              makeFakePlatform(m_devices, m_mounts));
    m_window = std::make_unique<MainWindow>(m_registry, m_channel, m_globals, nullptr);
    m_registry->device_scan(true);
    QCoreApplication::processEvents();
}

void tst_mainwindow::writeGeneral(const QByteArray &ini)
{
    // Automatic update checks off: no window of these tests may ask the network.
    fixture::ReaderTree(dir("")).addFile("marlox.conf", "[updates]\nupdateInterval=0\n" + ini);
}

QStringList tst_mainwindow::shownTexts()
{
    QStringList list;
    annotationTableSortFilterProxyModel *proxy = m_window->proxyModel();
    for (int row = 0; row < proxy->rowCount(); ++row)
        list << proxy->index(row, 4).data(Qt::EditRole).toString().left(6);
    return list;
}

void tst_mainwindow::selector_entryTexts_connectedLabelledAndPlain()
{
    plugIn("SN-A", "mnt/a", "PB632", "/dev/sdb");
    plugIn("SN-B", "mnt/b", "Touch", "/dev/sdc");
    fixture::ReaderTree(m_globals->datadir).addFile("devices.conf",
                                                    "[SN-A]\nserial=SN-A\nname=PB632\ndevicelabel=Kitchen\n");
    newWindow();
    QCOMPARE(selector()->count(), 2);
    QCOMPARE(selector()->itemText(0), QStringLiteral("PB632 [Kitchen] (connected)"));
    QCOMPARE(selector()->itemText(1), QStringLiteral("Touch (connected)"));
    QCOMPARE(child<QLabel>(m_window.get(), "deviceCount")->text(), QStringLiteral("2"));
    QVERIFY(!selector()->itemIcon(0).isNull());
}

void tst_mainwindow::selector_mirrorReaderUnplugged_keepsEntryWithoutConnected()
{
    plugIn("SN-M", "mnt/m", "PB632", "/dev/sdb");
    fixture::ReaderTree(m_globals->datadir).addFile(
        "devices.conf", "[SN-M]\nserial=SN-M\nreaderType=1\nvendor=1\nname=PB632\n");
    newWindow();
    QCOMPARE(selector()->count(), 1);
    QCOMPARE(selector()->itemText(0), QStringLiteral("PB632 [] (connected)"));

    m_devices->devices = std::vector<BlockDevice>{};
    m_mounts->unmount("/dev/sdb");
    child<QToolButton>(m_window.get(), "scandevices_button")->click();
    QCoreApplication::processEvents();
    QCOMPARE(selector()->count(), 1);
    QCOMPARE(selector()->itemText(0), QStringLiteral("PB632 []"));
    QVERIFY(selector()->itemIcon(0).isNull());
}

void tst_mainwindow::selector_restoresLastReaderOnlyOnce()
{
    plugIn("SN-A", "mnt/a", "First", "/dev/sdb");
    plugIn("SN-B", "mnt/b", "Second", "/dev/sdc");
    writeGeneral("[viewer]\nlast_reader=SN-B\nsearchauthor=Austen\n");
    newWindow();
    QCOMPARE(m_window->currentSerial(), QStringLiteral("SN-B"));
    QCOMPARE(child<QLineEdit>(m_window.get(), "search_author")->text(), QStringLiteral("Austen"));

    // The user picks the other reader; unplugging and replugging B must not take it back.
    selector()->setCurrentIndex(0);
    m_devices->devices->pop_back();
    m_mounts->unmount("/dev/sdc");
    m_window->scan_for_devices();
    QCoreApplication::processEvents();
    m_devices->devices->push_back(pocketBookDevice("SN-B", "/dev/sdc", "Second"));
    m_mounts->mount("/dev/sdc", dir("mnt/b"), "Second");
    m_window->scan_for_devices();
    QCoreApplication::processEvents();
    QCOMPARE(selector()->count(), 2);
    QCOMPARE(m_window->currentSerial(), QStringLiteral("SN-A"));
}

void tst_mainwindow::selector_rescanKeepsSelection()
{
    plugIn("SN-A", "mnt/a", "First", "/dev/sdb");
    plugIn("SN-B", "mnt/b", "Second", "/dev/sdc");
    newWindow();
    selector()->setCurrentIndex(1);
    QCOMPARE(m_window->currentSerial(), QStringLiteral("SN-B"));
    m_window->scan_for_devices();
    QCoreApplication::processEvents();
    QCOMPARE(m_window->currentSerial(), QStringLiteral("SN-B"));
    QVERIFY(selector()->isEnabled());
}

void tst_mainwindow::selector_readerRemovedWhileSelected_disablesEverything()
{
    plugIn("SN-A", "mnt/a", "First", "/dev/sdb");
    newWindow();
    QVERIFY(m_window->tableModel());
    child<QToolButton>(m_window.get(), "pb_eject")->click();
    QCoreApplication::processEvents();
    QCOMPARE(selector()->count(), 0);
    QVERIFY(m_window->currentSerial().isEmpty());
    QVERIFY(!m_window->tableModel());
    QVERIFY(!child<QToolButton>(m_window.get(), "pb_eject")->isEnabled());
    QVERIFY(!child<QPushButton>(m_window.get(), "export_tofile")->isEnabled());
}

void tst_mainwindow::selector_entryAboveRemoved_viewerKeepsItsRows()
{
    plugIn("SN-A", "mnt/a", "First", "/dev/sdb");
    plugIn("SN-B", "mnt/b", "Second", "/dev/sdc");
    newWindow();
    selector()->setCurrentIndex(1);
    const QPointer<annotationTable> model = m_window->tableModel();
    auto *table = child<QTableView>(m_window.get(), "tableView");
    table->selectRow(1);
    m_registry->removeReader("SN-A", {}, false);
    QCoreApplication::processEvents();
    QCOMPARE(selector()->count(), 1);
    QCOMPARE(m_window->currentSerial(), QStringLiteral("SN-B"));
    QVERIFY(model && m_window->tableModel() == model);
    QVERIFY(table->selectionModel()->isRowSelected(1, {}));
}

void tst_mainwindow::selector_pickingMirrorReader_showsItsRefreshedMirror()
{
    fixture::ReaderTree mirrorTree(m_globals->datadir / "SN-M" / "localdbmirror");
    mirrorTree.addExplorerDb();
    fixture::BooksDb mirrorDb(mirrorTree.addRootProfile());
    const int64_t book = mirrorDb.addBook("Only book", "Someone");
    mirrorDb.addAnnotation(book);
    fixture::ReaderTree(m_globals->datadir)
        .addFile("devices.conf", "[SN-M]\nserial=SN-M\nreaderType=1\nvendor=1\nname=Old reader\n");
    plugIn("SN-A", "mnt/a", "First", "/dev/sdb");
    newWindow();
    const int mirrorEntry = selector()->findData(QStringLiteral("SN-M"));
    selector()->setCurrentIndex(mirrorEntry);
    QCOMPARE(m_window->proxyModel()->rowCount(), 1);
    selector()->setCurrentIndex(1 - mirrorEntry);
    // The mirror is refreshed while the other reader is shown.
    mirrorDb.addAnnotation(book, {"highlight", 5, 0, 1600000500, "copied since"});
    selector()->setCurrentIndex(mirrorEntry);
    QCOMPARE(m_window->proxyModel()->rowCount(), 2);
}

void tst_mainwindow::actions_enabledByReaderKindAndConnection()
{
    newWindow();
    QMenu *tools = m_window->deviceToolsMenu();
    QVERIFY(!child<QToolButton>(m_window.get(), "pb_eject")->isEnabled());
    QVERIFY(!menuAction(tools, QStringLiteral("Store local database mirror..."))->isEnabled());
    QVERIFY(!menuAction(tools, QStringLiteral("Set devicelabel..."))->isEnabled());
    QVERIFY(!menuAction(tools, QStringLiteral("Merge/fix annotations (V2)..."))->isEnabled());
    QVERIFY(!menuAction(tools, QStringLiteral("Check DB integrity..."))->isEnabled());
    QVERIFY(!menuAction(tools, QStringLiteral("Send system files to device..."))->isEnabled());
    QVERIFY(!menuAction(tools, QStringLiteral("Manual Backup..."))->isEnabled());
    QVERIFY(!child<QLineEdit>(m_window.get(), "search_text")->isEnabled());

    plugIn("SN-A", "mnt/a", "First", "/dev/sdb");
    m_window->scan_for_devices();
    QCoreApplication::processEvents();
    QCOMPARE(m_window->currentSerial(), QStringLiteral("SN-A"));
    QVERIFY(child<QToolButton>(m_window.get(), "pb_eject")->isEnabled());
    QVERIFY(menuAction(tools, QStringLiteral("Store local database mirror..."))->isEnabled());
    QVERIFY(menuAction(tools, QStringLiteral("Set devicelabel..."))->isEnabled());
    QVERIFY(menuAction(tools, QStringLiteral("Merge/fix annotations (V2)..."))->isEnabled());
    QVERIFY(menuAction(tools, QStringLiteral("Check DB integrity..."))->isEnabled());
    QVERIFY(menuAction(tools, QStringLiteral("Send system files to device..."))->isEnabled());
    QVERIFY(menuAction(tools, QStringLiteral("Manual Backup..."))->isEnabled());
    QVERIFY(child<QLineEdit>(m_window.get(), "search_text")->isEnabled());
    QVERIFY(child<QPushButton>(m_window.get(), "export_toclipboard")->isEnabled());
    // The "Load annotations" button only exists for users who load by hand.
    QVERIFY(child<QPushButton>(m_window.get(), "pb_load_anndata")->isHidden());
}

void tst_mainwindow::loadArchived_fromMainMenu_selectsVirtualReaderWithoutMirrorOrLabel()
{
    newWindow();
    fixture::ReaderTree copy(dir("copy"));
    const fs::path explorer = copy.addExplorerDb(fixture::ExplorerLayout::InSystem3);
    QAction *load = child<QAction>(m_window.get(), "actionScanArchiveReader");
    QVERIFY(load->isEnabled());
    m_prompts->setNextFileName(QString::fromStdString(explorer.string()));
    QTimer::singleShot(0, this, [] {
        QWidget *dialog = QApplication::activeModalWidget();
        QVERIFY(dialog);
        child<QPushButton>(dialog, "filepath_browse")->click();
        qobject_cast<QDialog *>(dialog)->accept();
    });
    load->trigger();
    QCOMPARE(m_registry->readers.size(), size_t(1));
    QCOMPARE(m_window->currentSerial(),
             QString::fromStdString(m_registry->readers.front()->serial));
    QMenu *tools = m_window->deviceToolsMenu();
    QVERIFY(!menuAction(tools, QStringLiteral("Store local database mirror..."))->isEnabled());
    QVERIFY(!menuAction(tools, QStringLiteral("Set devicelabel..."))->isEnabled());
    QVERIFY(!menuAction(tools, QStringLiteral("Transfer reading progress from backup..."))->isEnabled());
}

void tst_mainwindow::mergefix_confirmationEscapesNameAndPath_cancelWritesNothing()
{
    const fixture::ReaderTree tree = plugIn("SN-A", "mnt/<i>a&b", "First", "/dev/sdb");
    newWindow();
    const fs::path db = tree.root() / "system" / "config" / "books.db";
    const QByteArray before = testenv::readFile(db);
    m_prompts->setNextAnswer(Prompts::Cancel);
    m_window->show_mergefix_annotations();
    QCOMPARE(m_prompts->messages.size(), 1);
    QCOMPARE(m_prompts->messages[0].title, QStringLiteral("Warning"));
    QVERIFY(m_prompts->messages[0].text.contains(QStringLiteral("/mnt/&lt;i&gt;a&amp;b)")));
    QVERIFY(!m_prompts->messages[0].text.contains(QStringLiteral("<i>")));
    QCOMPARE(testenv::readFile(db), before);
}

void tst_mainwindow::viewer_populatesAndSortsByDate()
{
    plugIn("SN-A", "mnt/a", "First", "/dev/sdb");
    newWindow();
    annotationTableSortFilterProxyModel *proxy = m_window->proxyModel();
    QVERIFY(proxy);
    QAbstractItemModelTester tester(proxy, QAbstractItemModelTester::FailureReportingMode::QtTest);
    // The bookmark stays hidden until bookmarks are shown.
    QCOMPARE(proxy->rowCount(), 3);
    QCOMPARE(proxy->index(0, 4).data(Qt::EditRole).toString(), QStringLiteral("handsome, clever, and rich"));
    QCOMPARE(proxy->index(2, 4).data(Qt::EditRole).toString(), QStringLiteral("spice must flow"));
    QVERIFY(child<QToolButton>(m_window.get(), "sortOnDate")->isChecked());

    menuAction(m_window->viewerToolsMenu(), QStringLiteral("Show Bookmarks"))->trigger();
    QCOMPARE(proxy->rowCount(), 4);
}

void tst_mainwindow::viewer_sortModes_titleDateAndTitlePage()
{
    plugIn("SN-A", "mnt/a", "First", "/dev/sdb");
    newWindow();
    annotationTableSortFilterProxyModel *proxy = m_window->proxyModel();
    auto texts = [proxy] {
        QStringList list;
        for (int row = 0; row < proxy->rowCount(); ++row)
            list << proxy->index(row, 4).data(Qt::EditRole).toString().left(6);
        return list;
    };
    child<QToolButton>(m_window.get(), "sortOnTitleDate")->click();
    // Titles without regard to case: Dune before emma; within Dune by date.
    QCOMPARE(texts(), (QStringList{"fear i", "spice ", "handso"}));
    child<QToolButton>(m_window.get(), "sortOnTitlePage")->click();
    QCOMPARE(texts(), (QStringList{"fear i", "spice ", "handso"}));
    child<QToolButton>(m_window.get(), "sortOnDate")->click();
    QCOMPARE(texts(), (QStringList{"handso", "fear i", "spice "}));
}

void tst_mainwindow::viewer_sortCaseSensitive_titleDateKeepsDateOrder()
{
    fixture::ReaderTree tree = plugIn("SN-A", "mnt/a", "First", "/dev/sdb");
    fixture::BooksDb db(tree.root() / "system/config/books.db");
    const int64_t book = db.addBook("Zorba", "Kazantzakis");
    // 3 January before 20 February, although "20 Feb" comes first as text.
    db.addAnnotation(book, {"highlight", 1, 1, 1578052800, "january", "", "green"});
    db.addAnnotation(book, {"highlight", 1, 2, 1582200000, "february", "", "green"});
    writeGeneral("[viewer]\nSortCaseSensitive=true\n");
    newWindow();
    annotationTableSortFilterProxyModel *proxy = m_window->proxyModel();
    child<QToolButton>(m_window.get(), "sortOnTitleDate")->click();
    QStringList zorba;
    for (int row = 0; row < proxy->rowCount(); ++row) {
        if (proxy->index(row, 2).data().toString() == QStringLiteral("Zorba"))
            zorba << proxy->index(row, 4).data(Qt::EditRole).toString();
    }
    QCOMPARE(zorba, (QStringList{"january", "february"}));
}

void tst_mainwindow::viewer_textSearch_filtersAfterTheDelay()
{
    plugIn("SN-A", "mnt/a", "First", "/dev/sdb");
    newWindow();
    annotationTableSortFilterProxyModel *proxy = m_window->proxyModel();
    auto *search = child<QLineEdit>(m_window.get(), "search_text");
    QTest::keyClicks(search, QStringLiteral("mind|spi"));
    QTRY_COMPARE(proxy->rowCount(), 2);
    search->setText(QStringLiteral("(unbalanced"));
    QTRY_COMPARE(proxy->rowCount(), 0);
    search->clear();
    child<QLineEdit>(m_window.get(), "search_author")->setText(QStringLiteral("austen"));
    QTRY_COMPARE(proxy->rowCount(), 1);
}

void tst_mainwindow::viewer_loadFailure_showsStatusAndNoModel()
{
    fixture::ReaderTree tree = plugIn("SN-A", "mnt/a", "First", "/dev/sdb");
    // The reader's books.db is not a database at all.
    tree.addFile("system/config/books.db", QByteArray("not a database").repeated(100));
    newWindow();
    QCOMPARE(selector()->count(), 1);
    QVERIFY(!m_window->tableModel());
    menuAction(m_window->viewerToolsMenu(), QStringLiteral("Reset Viewer"))->trigger();
    QVERIFY(!m_window->tableModel());
    QCOMPARE(m_window->statusBar()->currentMessage(),
             QStringLiteral("Failed populating annotation viewer"));
    QVERIFY(!child<QPushButton>(m_window.get(), "export_tofile")->isEnabled());
}

void tst_mainwindow::viewer_defaultColumns_hideDateAuthorNote()
{
    plugIn("SN-A", "mnt/a", "First", "/dev/sdb");
    newWindow();
    auto *table = child<QTableView>(m_window.get(), "tableView");
    // No stored header state: the defaults apply.
    QVERIFY(table->isColumnHidden(0));
    QVERIFY(table->isColumnHidden(1));
    QVERIFY(!table->isColumnHidden(2));
    QVERIFY(table->isColumnHidden(5));
    QCOMPARE(table->columnWidth(4), 400);
    table->setColumnHidden(0, false);
    m_window->setDefaultColumnSettings();
    QVERIFY(table->isColumnHidden(0));
}

void tst_mainwindow::viewer_contextFilters_fillSearchFieldsAndBounds()
{
    plugIn("SN-A", "mnt/a", "First", "/dev/sdb");
    newWindow();
    annotationTableSortFilterProxyModel *proxy = m_window->proxyModel();
    const QModelIndex emma = proxy->index(0, 4);
    m_window->contextFilterOnAuthor(emma);
    QCOMPARE(child<QLineEdit>(m_window.get(), "search_author")->text(), QStringLiteral("Jane Austen"));
    m_window->contextFilterOnPage(emma, false);
    QTRY_COMPARE(proxy->rowCount(), 1);
    QCOMPARE(proxy->pageFrom, 4);
    m_window->contextClearFilterAndFocus(proxy->index(0, 0));
    QTRY_COMPARE(proxy->rowCount(), 3);
    QCOMPARE(proxy->pageFrom, 0);
}

void tst_mainwindow::viewer_newerAnnotations_shownUnlessToChosen()
{
    fixture::ReaderTree tree = plugIn("SN-A", "mnt/a", "First", "/dev/sdb");
    newWindow();
    annotationTableSortFilterProxyModel *proxy = m_window->proxyModel();
    QCOMPARE(proxy->rowCount(), 3);
    // Made after the viewer was loaded, by a reader whose clock runs a day ahead.
    const qint64 tomorrow = QDateTime::currentSecsSinceEpoch() + 86400;
    fixture::BooksDb db(tree.root() / "system/config/books.db");
    db.addAnnotation(db.addBook("Later", "L"), {"highlight", 1, 0, tomorrow, "tomorrow"});
    QAction *reload = menuAction(m_window->viewerToolsMenu(), QStringLiteral("Reload Annotations"));
    reload->trigger();
    QCOMPARE(proxy->rowCount(), 4);

    // A week of running later, "Past Week" ends at the new now, not at the start of the run.
    AdvancedSearchWidget *search = m_window->advancedSearch();
    search->setClock([tomorrow] { return QDateTime::fromSecsSinceEpoch(tomorrow + 6 * 86400); });
    search->setPreset(PresetPastWeek);
    QCOMPARE(shownTexts(), QStringList{"tomorr"});

    // A "To" the user chose holds, also over newer data.
    search->reset();
    search->setDateTo(QDateTime::fromSecsSinceEpoch(1600000250));
    QCOMPARE(proxy->rowCount(), 2);
    reload->trigger();
    QCOMPARE(proxy->rowCount(), 2);
}

void tst_mainwindow::viewer_newProxy_appliesTheSearchWidgetsBounds()
{
    plugIn("SN-A", "mnt/a", "First", "/dev/sdb");
    plugIn("SN-B", "mnt/b", "Second", "/dev/sdc");
    newWindow();
    m_window->advancedSearch()->setPageFrom(5);
    QCOMPARE(m_window->proxyModel()->rowCount(), 1);
    menuAction(m_window->viewerToolsMenu(), QStringLiteral("Reset Viewer"))->trigger();
    QCOMPARE(m_window->proxyModel()->rowCount(), 1);
    selector()->setCurrentIndex(1);
    QCOMPARE(m_window->currentSerial(), QStringLiteral("SN-B"));
    QCOMPARE(m_window->proxyModel()->rowCount(), 1);
    QCOMPARE(m_window->proxyModel()->pageFrom, 5);
}

void tst_mainwindow::viewer_headerClick_sortsByWhatTheColumnShows_data()
{
    QTest::addColumn<int>("column");
    QTest::addColumn<bool>("caseSensitive");
    QTest::addColumn<QString>("sortButton"); // the order before the click
    QTest::addColumn<QStringList>("order");
    QTest::newRow("date in time order, not as text")
        << 0 << true << "sortOnTitleDate"
        << QStringList{"januar", "februa", "handso", "fear i", "spice "};
    QTest::newRow("author as text")
        << 1 << false << "sortOnDate"
        << QStringList{"fear i", "spice ", "handso", "januar", "februa"};
    QTest::newRow("title as text, case-sensitive")
        << 2 << true << "sortOnDate"
        << QStringList{"fear i", "spice ", "januar", "februa", "handso"};
    QTest::newRow("highlight as text, not by bookmark flag")
        << 4 << false << "sortOnDate"
        << QStringList{"fear i", "februa", "handso", "januar", "spice "};
}

void tst_mainwindow::viewer_headerClick_sortsByWhatTheColumnShows()
{
    QFETCH(int, column);
    QFETCH(bool, caseSensitive);
    QFETCH(QString, sortButton);
    QFETCH(QStringList, order);
    fixture::ReaderTree tree = plugIn("SN-A", "mnt/a", "First", "/dev/sdb");
    fixture::BooksDb db(tree.root() / "system/config/books.db");
    const int64_t book = db.addBook("Zorba", "Kazantzakis");
    // 3 January before 20 February, although "20 Feb" comes first as text.
    db.addAnnotation(book, {"highlight", 0, 1, 1578052800, "january", "", "green"});
    db.addAnnotation(book, {"highlight", 0, 2, 1582200000, "february", "", "green"});
    writeGeneral(caseSensitive ? "[viewer]\nSortCaseSensitive=true\n" : "");
    newWindow();
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
    child<QToolButton>(m_window.get(), sortButton.toLatin1().constData())->click();
    auto *table = child<QTableView>(m_window.get(), "tableView");
    for (int section = 0; section < 7; ++section)
        table->setColumnHidden(section, false);
    QHeaderView *header = table->horizontalHeader();
    const int middle = header->sectionViewportPosition(column) + header->sectionSize(column) / 2;
    QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, QPoint(middle, header->height() / 2));
    QCOMPARE(shownTexts(), order);
    QVERIFY(child<QToolButton>(m_window.get(), "sortOnCustom")->isChecked());
}

void tst_mainwindow::export_fromBarAndContextMenu()
{
    plugIn("SN-A", "mnt/a", "First", "/dev/sdb");
    newWindow();
    child<QPushButton>(m_window.get(), "selectAll")->click();
    child<QPushButton>(m_window.get(), "export_toclipboard")->click();
    const QString full = QGuiApplication::clipboard()->text();
    QVERIFY2(full.startsWith(QStringLiteral("Annotations export (")), qPrintable(full));
    QVERIFY(full.contains(QStringLiteral("fear is the mind-killer")));
    QCOMPARE(m_window->statusBar()->currentMessage(),
             QStringLiteral("Exported 3 highlights to clipboard"));

    m_window->contextCopy1();
    const QString rows = QGuiApplication::clipboard()->text();
    QVERIFY(!rows.contains(QStringLiteral("Annotations export")));
    QVERIFY(rows.contains(QStringLiteral("spice must flow")));

    const QString target = m_root->filePath(QStringLiteral("out.html"));
    m_prompts->setNextFileName(target);
    child<QComboBox>(m_window.get(), "export_format")->setCurrentIndex(1);
    child<QPushButton>(m_window.get(), "export_tofile")->click();
    QVERIFY(QFileInfo::exists(target));
    QCOMPARE(m_prompts->choosers.last().caption,
             QStringLiteral("Choose export file for selected highlights"));
}

void tst_mainwindow::export_nothingSelected_saysSo()
{
    plugIn("SN-A", "mnt/a", "First", "/dev/sdb");
    newWindow();
    child<QPushButton>(m_window.get(), "export_toclipboard")->click();
    QCOMPARE(m_window->statusBar()->currentMessage(), QStringLiteral("Export: nothing selected!"));
}

void tst_mainwindow::mirror_toggleOnCopiesAndToggleOffAsks()
{
    plugIn("SN-A", "mnt/a", "First", "/dev/sdb");
    newWindow();
    QAction *mirror = menuAction(m_window->deviceToolsMenu(), QStringLiteral("Store local database mirror..."));
    mirror->trigger();
    QVERIFY(mirror->isChecked());
    QCOMPARE(m_window->statusBar()->currentMessage(),
             QStringLiteral("Successfully created local DB mirror."));
    QVERIFY(fs::exists(m_globals->datadir / "SN-A/localdbmirror/system/config/books.db"));
    {
        const auto prefs = openIniSettings(m_globals->settingsDevices);
        QCOMPARE(prefs->value(QStringLiteral("SN-A/readerType")).toInt(), 1);
        QCOMPARE(prefs->value(QStringLiteral("SN-A/vendor")).toInt(), 1);
    }

    m_prompts->setNextAnswer(Prompts::No);
    mirror->trigger();
    QVERIFY(mirror->isChecked());
    QCOMPARE(m_prompts->messages.last().text, QStringLiteral("Disable local DB mirror?"));

    m_prompts->setNextAnswer(Prompts::Yes);
    mirror->trigger();
    QVERIFY(!mirror->isChecked());
    const auto prefs = openIniSettings(m_globals->settingsDevices);
    QCOMPARE(prefs->value(QStringLiteral("SN-A/readerType")).toInt(), 0);
    QCOMPARE(selector()->count(), 1);
}

void tst_mainwindow::mirror_toggleOffDisconnected_removesEntry()
{
    fixture::ReaderTree mirrorTree(m_globals->datadir / "SN-M" / "localdbmirror");
    mirrorTree.addExplorerDb();
    fixture::BooksDb(mirrorTree.addRootProfile()).addBook("Only book", "Someone");
    fixture::ReaderTree(m_globals->datadir).addFile(
        "devices.conf", "[SN-M]\nserial=SN-M\nreaderType=1\nvendor=1\nname=Old reader\n");
    newWindow();
    QCOMPARE(selector()->count(), 1);
    selector()->setCurrentIndex(0);
    QAction *mirror = menuAction(m_window->deviceToolsMenu(), QStringLiteral("Store local database mirror..."));
    QVERIFY(mirror->isChecked());

    m_prompts->setNextAnswer(Prompts::Yes);
    mirror->trigger();
    QCoreApplication::processEvents();
    QCOMPARE(m_prompts->messages.last().text,
             QStringLiteral("Disable local DB mirror?\nGiven the reader is disconnected,\nthe device "
                            "entry will be removed."));
    QCOMPARE(selector()->count(), 0);
}

void tst_mainwindow::mirror_toggleOnKeptVirtualReader_keepsItsKind()
{
    plugIn("SN-A", "mnt/a", "First", "/dev/sdb");
    fixture::ReaderTree(m_globals->datadir)
        .addFile("devices.conf", "[SN-A]\nserial=SN-A\nreaderType=2\nvendor=1\nname=First\n");
    newWindow();
    QMenu *tools = m_window->deviceToolsMenu();
    menuAction(tools, QStringLiteral("Store local database mirror..."))->trigger();
    const auto prefs = openIniSettings(m_globals->settingsDevices);
    QCOMPARE(prefs->value(QStringLiteral("SN-A/readerType")).toInt(), 2);
    QVERIFY(!fs::exists(m_globals->datadir / "SN-A"));
}

void tst_mainwindow::settings_roundTrip()
{
    plugIn("SN-A", "mnt/a", "First", "/dev/sdb");
    newWindow();
    m_window->resize(900, 640);
    child<QToolButton>(m_window.get(), "sortOnTitlePage")->click();
    menuAction(m_window->viewerToolsMenu(), QStringLiteral("Search Case-sensitive"))->trigger();
    child<QComboBox>(m_window.get(), "export_format")->setCurrentIndex(2);
    child<QComboBox>(m_window.get(), "export_sortmode")->setCurrentIndex(3);
    child<QLineEdit>(m_window.get(), "search_title")->setText(QStringLiteral("Dune"));
    QMenu *colours =
        menuAction(m_window->viewerToolsMenu(), QStringLiteral("Row color mode"))->menu();
    menuAction(colours, QStringLiteral("Page column"))->trigger();
    menuAction(m_window->viewerToolsMenu(), QStringLiteral("Toggle row color text"))->trigger();
    m_window->annViewerSaveColumnSizes();
    m_window.reset();
    const globalsClass restarted(false, m_root->path().toStdString(), dir("data").string(),
                                 dir("share"), dir("config"));
    QCOMPARE(restarted.rowHighlightColorMode, 3);
    QVERIFY(restarted.rowHighlightColorAsText);

    newWindow();
    QCOMPARE(m_window->size(), QSize(900, 640));
    QVERIFY(child<QToolButton>(m_window.get(), "sortOnTitlePage")->isChecked());
    QVERIFY(menuAction(m_window->viewerToolsMenu(), QStringLiteral("Search Case-sensitive"))->isChecked());
    QCOMPARE(child<QComboBox>(m_window.get(), "export_format")->currentIndex(), 2);
    QCOMPARE(child<QComboBox>(m_window.get(), "export_sortmode")->currentIndex(), 3);
    // The last reader comes back, with its search texts.
    QCOMPARE(m_window->currentSerial(), QStringLiteral("SN-A"));
    QCOMPARE(child<QLineEdit>(m_window.get(), "search_title")->text(), QStringLiteral("Dune"));
}

void tst_mainwindow::settings_fileIsDirectory_warnsOnce()
{
    fs::remove(m_globals->settingsGeneral);
    fs::create_directories(m_globals->settingsGeneral);
    newWindow();
    QCOMPARE(m_prompts->messages.size(), 1);
    QCOMPARE(m_prompts->messages.first().title, QStringLiteral("Settings NOT loaded"));
    // Nothing else asks: the window runs on its defaults.
    QVERIFY(child<QToolButton>(m_window.get(), "sortOnDate")->isChecked());
}

void tst_mainwindow::settings_storedExportIndexOutOfRange_firstItem()
{
    writeGeneral("[viewer]\nexport_format=7\nexport_sortmode=-3\n");
    newWindow();
    QCOMPARE(child<QComboBox>(m_window.get(), "export_format")->currentIndex(), 0);
    QCOMPARE(child<QComboBox>(m_window.get(), "export_sortmode")->currentIndex(), 0);
}

void tst_mainwindow::labelDialog_storesLabelAndRenamesEntry()
{
    plugIn("SN-A", "mnt/a", "PB632", "/dev/sdb");
    fixture::ReaderTree(m_globals->datadir).addFile("devices.conf", "[SN-A]\nserial=SN-A\nname=PB632\n");
    newWindow();
    onNextModal([](QWidget *dialog) {
        QCOMPARE(dialog->windowTitle(), QStringLiteral("Set Device Label"));
        dialog->findChild<QLineEdit *>(QStringLiteral("devicename"))->setText(QStringLiteral("Küche"));
        qobject_cast<QDialog *>(dialog)->accept();
    });
    m_window->show_setdevicelabel();
    QCOMPARE(selector()->itemText(0), QStringLiteral("PB632 [Küche] (connected)"));
    QCOMPARE(readDeviceLabel(m_globals->settingsDevices, "SN-A"), QStringLiteral("Küche"));

    onNextModal([](QWidget *dialog) { qobject_cast<QDialog *>(dialog)->reject(); });
    m_window->show_setdevicelabel();
    QCOMPARE(selector()->itemText(0), QStringLiteral("PB632 [Küche] (connected)"));
}

void tst_mainwindow::changelog_foundBesideProgramOrInDocs()
{
    // An installed program keeps its change log with its documentation, not beside the binary.
    m_globals->appdir = dir("bin");
    m_globals->helpfile = dir("doc/marlox/help/help_en.html");
    fixture::ReaderTree(dir("doc/marlox")).addFile("changelog.txt", "# Changes\n\n- one\n");
    newWindow();
    QString shown;
    onNextModal([&shown](QWidget *dialog) {
        shown = qobject_cast<textViewer *>(dialog)->shownHtml();
        qobject_cast<QDialog *>(dialog)->accept();
    });
    m_window->show_changelog();
    QVERIFY2(shown.contains(QStringLiteral("Changes")), qPrintable(shown));
}

QTEST_MAIN(tst_mainwindow)
#include "tst_mainwindow.moc"
