// The main window as a user drives it: readers in the selector, the viewer over their
// annotations, sorting, searching, exporting, the local mirror and the window's settings.
// Real registry, databases and settings files; fake udev, mounts and message boxes.

#include "core/globalsclass.h"
#include "core/settingsstore.h"
#include "mainwindow/mainwindow.h"
#include "readers/gui_msgchannel.h"
#include "readers/readerdata.h"
#include "support/fakeplatform.h"
#include "support/fakeprompts.h"
#include "support/testenv.h"
#include "readerfixture/readerfixture.h"
#include "viewer/advancedsearchwidget.h"
#include "viewer/annotationtable.h"
#include "viewer/annotationtablesortfilterproxymodel.h"

#include <QAbstractItemModelTester>
#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QLineEdit>
#include <QMenu>
#include <QPointer>
#include <QPushButton>
#include <QStatusBar>
#include <QTableView>
#include <QTemporaryDir>
#include <QToolButton>
#include <QtTest>

#include <filesystem>

namespace fs = std::filesystem;

namespace {

QAction *menuAction(QMenu *menu, const char *text)
{
    for (QAction *action : menu->actions()) {
        if (action->text() == QLatin1String(text))
            return action;
    }
    qFatal("no action %s", text);
    return nullptr;
}

} // namespace

class tst_mainwindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }

    void init()
    {
        m_root = std::make_unique<QTemporaryDir>();
        m_prompts = std::make_unique<FakePrompts>();
        m_globals = std::make_shared<globalsClass>(
            false, m_root->path().toStdString(), dir("data").string(), dir("share"), dir("config"));
        writeGeneral({});
        m_globals->textSearchDelay = 10;
        m_channel = std::make_shared<gui_msgchannel>();
        m_devices = std::make_shared<FakeBlockDevices>();
        m_mounts = std::make_shared<FakeMounts>();
    }

    void cleanup()
    {
        m_window.reset();
        m_registry.reset();
        m_prompts.reset();
        m_root.reset();
    }

    // A reader removed above the shown one changes nothing there: no reload, the selection
    // survives. Ejecting the shown one leaves nothing to act on.
    void selector_removalsLeaveNothingStale()
    {
        plugIn("SN-A", "mnt/a", "First", "/dev/sdb");
        plugIn("SN-B", "mnt/b", "Second", "/dev/sdc");
        newWindow();
        selector()->setCurrentIndex(1);
        const QPointer<annotationTable> model = m_window->tableModel();
        auto *table = child<QTableView>("tableView");
        table->selectRow(1);
        m_registry->removeReader("SN-A", {}, false);
        QCoreApplication::processEvents();
        QCOMPARE(m_window->currentSerial(), QStringLiteral("SN-B"));
        QVERIFY(model && m_window->tableModel() == model);
        QVERIFY(table->selectionModel()->isRowSelected(1, {}));
        child<QToolButton>("pb_eject")->click();
        QCoreApplication::processEvents();
        QCOMPARE(selector()->count(), 0);
        QVERIFY(!m_window->tableModel());
    }

    void mergefix_confirmationEscapesNameAndPath_cancelWritesNothing()
    {
        const fixture::ReaderTree tree = plugIn("SN-A", "mnt/<i>a&b", "First", "/dev/sdb");
        newWindow();
        const fs::path db = tree.root() / "system" / "config" / "books.db";
        const QByteArray before = testenv::readFile(db);
        m_prompts->setNextAnswer(Prompts::Cancel);
        m_window->show_mergefix_annotations();
        QCOMPARE(m_prompts->messages.size(), 1);
        QVERIFY(m_prompts->messages[0].text.contains(QStringLiteral("/mnt/&lt;i&gt;a&amp;b)")));
        QCOMPARE(testenv::readFile(db), before);
    }

    // Dates sort in time order, titles case-sensitively when the settings say so.
    void viewer_sortButtons()
    {
        fixture::ReaderTree tree = plugIn("SN-A", "mnt/a", "First", "/dev/sdb");
        fixture::BooksDb db(tree.root() / "system/config/books.db");
        const int64_t book = db.addBook("Zorba", "Kazantzakis");
        // 3 January before 20 February, although "20 Feb" comes first as text.
        db.addAnnotation(book, {"highlight", 0, 1, 1578052800, "january", "", "green"});
        db.addAnnotation(book, {"highlight", 0, 2, 1582200000, "february", "", "green"});
        writeGeneral("[viewer]\nSortCaseSensitive=true\n");
        newWindow();
        QAbstractItemModelTester tester(m_window->proxyModel()); // failures fail the test
        child<QToolButton>("sortOnTitleDate")->click();
        QCOMPARE(shownTexts(), QStringLiteral("fear spic janu febr hand"));
        child<QToolButton>("sortOnDate")->click();
        QCOMPARE(shownTexts(), QStringLiteral("janu febr hand fear spic"));
    }

    // The search field filters; a new proxy, as after a reset, takes the bounds the advanced
    // search shows.
    void viewer_searchAndBoundsCarriedToNewProxies()
    {
        plugIn("SN-A", "mnt/a", "First", "/dev/sdb");
        newWindow();
        auto *search = child<QLineEdit>("search_text");
        QTest::keyClicks(search, QStringLiteral("mind|spi"));
        QTRY_COMPARE(m_window->proxyModel()->rowCount(), 2);
        search->clear();
        QTRY_COMPARE(m_window->proxyModel()->rowCount(), 3);
        m_window->advancedSearch()->setPageFrom(5);
        QCOMPARE(m_window->proxyModel()->rowCount(), 1);
        menuAction(m_window->viewerToolsMenu(), "Reset Viewer")->trigger();
        QCOMPARE(m_window->proxyModel()->rowCount(), 1);
    }

    void viewer_loadFailure_showsStatusAndNoModel()
    {
        fixture::ReaderTree tree = plugIn("SN-A", "mnt/a", "First", "/dev/sdb");
        tree.addFile("system/config/books.db", QByteArray("not a database").repeated(100));
        newWindow();
        menuAction(m_window->viewerToolsMenu(), "Reset Viewer")->trigger();
        QVERIFY(!m_window->tableModel());
        QCOMPARE(m_window->statusBar()->currentMessage(),
                 QStringLiteral("Failed populating annotation viewer"));
        QVERIFY(!child<QPushButton>("export_tofile")->isEnabled());
    }

    void viewer_newerAnnotations_shownUnlessToChosen()
    {
        fixture::ReaderTree tree = plugIn("SN-A", "mnt/a", "First", "/dev/sdb");
        newWindow();
        annotationTableSortFilterProxyModel *proxy = m_window->proxyModel();
        // Made after the viewer was loaded, by a reader whose clock runs a day ahead.
        const qint64 tomorrow = QDateTime::currentSecsSinceEpoch() + 86400;
        fixture::BooksDb db(tree.root() / "system/config/books.db");
        db.addAnnotation(db.addBook("Later", "L"), {"highlight", 1, 0, tomorrow, "tomorrow"});
        QAction *reload = menuAction(m_window->viewerToolsMenu(), "Reload Annotations");
        reload->trigger();
        QCOMPARE(proxy->rowCount(), 4);
        // A "To" the user chose holds, also over newer data.
        m_window->advancedSearch()->setDateTo(QDateTime::fromSecsSinceEpoch(1600000250));
        QCOMPARE(proxy->rowCount(), 2);
        reload->trigger();
        QCOMPARE(proxy->rowCount(), 2);
    }

    void export_clipboardAndFile()
    {
        plugIn("SN-A", "mnt/a", "First", "/dev/sdb");
        newWindow();
        child<QPushButton>("selectAll")->click();
        child<QPushButton>("export_toclipboard")->click();
        QVERIFY(QGuiApplication::clipboard()->text().contains(QStringLiteral("mind-killer")));
        const QString target = m_root->filePath(QStringLiteral("out.html"));
        m_prompts->setNextFileName(target);
        child<QComboBox>("export_format")->setCurrentIndex(1);
        child<QPushButton>("export_tofile")->click();
        QVERIFY(testenv::readFile(target.toStdString()).contains("spice must flow"));
    }

    // The mirror keeps an unplugged reader's entry until it is switched off.
    void mirror_onCopies_offAsks_unpluggedEntryGoesWithIt()
    {
        plugIn("SN-A", "mnt/a", "PB632", "/dev/sdb");
        newWindow();
        QAction *mirror = mirrorAction();
        mirror->trigger();
        QVERIFY(fs::exists(m_globals->datadir / "SN-A/localdbmirror/system/config/books.db"));
        QCOMPARE(readerType("SN-A"), 1);
        m_prompts->setNextAnswer(Prompts::No);
        mirror->trigger();
        QVERIFY(mirror->isChecked());
        m_devices->devices = std::vector<BlockDevice>{};
        m_mounts->unmount("/dev/sdb");
        child<QToolButton>("scandevices_button")->click();
        QCoreApplication::processEvents();
        QCOMPARE(selector()->count(), 1);
        QCOMPARE(m_window->proxyModel()->rowCount(), 3);
        m_prompts->setNextAnswer(Prompts::Yes);
        mirror->trigger();
        QCoreApplication::processEvents();
        QCOMPARE(selector()->count(), 0);
        QCOMPARE(readerType("SN-A"), 0);
    }

    void mirror_toggleOnKeptVirtualReader_keepsItsKind()
    {
        plugIn("SN-A", "mnt/a", "First", "/dev/sdb");
        fixture::ReaderTree(m_globals->datadir)
            .addFile("devices.conf", "[SN-A]\nserial=SN-A\nreaderType=2\nvendor=1\nname=First\n");
        newWindow();
        mirrorAction()->trigger();
        QCOMPARE(readerType("SN-A"), 2);
        QVERIFY(!fs::exists(m_globals->datadir / "SN-A"));
    }

    // What the user changed comes back at the next start, the reader shown last included.
    void settings_roundTrip()
    {
        plugIn("SN-A", "mnt/a", "First", "/dev/sdb");
        plugIn("SN-B", "mnt/b", "Second", "/dev/sdc");
        newWindow();
        selector()->setCurrentIndex(selector()->findData(QStringLiteral("SN-B")));
        child<QToolButton>("sortOnTitlePage")->click();
        child<QComboBox>("export_format")->setCurrentIndex(2);
        child<QLineEdit>("search_title")->setText(QStringLiteral("Dune"));
        m_window->annViewerSaveColumnSizes();
        newWindow();
        QCOMPARE(m_window->currentSerial(), QStringLiteral("SN-B"));
        QVERIFY(child<QToolButton>("sortOnTitlePage")->isChecked());
        QCOMPARE(child<QComboBox>("export_format")->currentIndex(), 2);
        QCOMPARE(child<QLineEdit>("search_title")->text(), QStringLiteral("Dune"));
    }

private:
    fs::path dir(const char *relative) const
    {
        return fs::path(m_root->path().toStdString()) / relative;
    }

    template <typename T> T *child(const char *name)
    {
        T *widget = m_window->findChild<T *>(QString::fromLatin1(name));
        if (!widget)
            qFatal("no widget %s", name);
        return widget;
    }

    QComboBox *selector() { return child<QComboBox>("device_cbox"); }
    QAction *mirrorAction()
    {
        return menuAction(m_window->deviceToolsMenu(), "Store local database mirror...");
    }

    /// A reader with two books and annotations on its main memory, plugged in.
    fixture::ReaderTree plugIn(const std::string &serial, const char *mount,
                               const std::string &label, const std::string &node)
    {
        fixture::ReaderTree tree(dir(mount));
        tree.addExplorerDb();
        fixture::BooksDb db(tree.addRootProfile());
        const int64_t dune = db.addBook("Dune", "Frank Herbert");
        const int64_t emma = db.addBook("emma", "Jane Austen");
        db.addAnnotation(dune, {"highlight", 10, 1, 1600000300, "spice must flow", "", "yellow"});
        db.addAnnotation(
            emma, {"note", 3, 5, 1600000100, "handsome, clever, and rich", "a note", "blue"});
        db.addAnnotation(dune,
                         {"highlight", 2, 7, 1600000200, "fear is the mind-killer", "", "red"});
        db.addAnnotation(emma, {"bookmark", 9, 0, 1600000400, "Bookmark", "", ""});
        m_devices->devices->push_back(pocketBookDevice(serial, node, label));
        m_mounts->mount(node, tree.root(), label);
        return tree;
    }

    void newWindow()
    {
        // A new window is a new run of the program: a new registry, a new first scan.
        m_window.reset();
        m_registry = std::make_shared<ReaderData>(m_channel, m_globals, false,
                                                  makeFakePlatform(m_devices, m_mounts));
        m_window = std::make_unique<MainWindow>(m_registry, m_channel, m_globals, nullptr);
        // A clear button fades in as text arrives; a fade that outlives its window is leaked.
        for (QLineEdit *edit : m_window->findChildren<QLineEdit *>())
            edit->setClearButtonEnabled(false);
        m_registry->device_scan(true);
        QCoreApplication::processEvents();
    }

    void writeGeneral(const QByteArray &ini)
    {
        // Automatic update checks off: no window of these tests may ask the network.
        fixture::ReaderTree(dir("")).addFile("marlox.conf", "[updates]\nupdateInterval=0\n" + ini);
    }

    int readerType(const QString &serial) const
    {
        return openIniSettings(m_globals->settingsDevices)
            ->value(serial + QStringLiteral("/readerType"))
            .toInt();
    }

    /// The first four letters of each shown highlight, in the viewer's order.
    QString shownTexts()
    {
        QStringList list;
        annotationTableSortFilterProxyModel *proxy = m_window->proxyModel();
        for (int row = 0; row < proxy->rowCount(); ++row)
            list << proxy->index(row, 4).data(Qt::EditRole).toString().left(4);
        return list.join(QLatin1Char(' '));
    }

    std::unique_ptr<QTemporaryDir> m_root;
    std::unique_ptr<FakePrompts> m_prompts;
    std::shared_ptr<globalsClass> m_globals;
    std::shared_ptr<gui_msgchannel> m_channel;
    std::shared_ptr<FakeBlockDevices> m_devices;
    std::shared_ptr<FakeMounts> m_mounts;
    std::shared_ptr<ReaderData> m_registry;
    std::unique_ptr<MainWindow> m_window;
};

QTEST_MAIN(tst_mainwindow)
#include "tst_mainwindow.moc"
