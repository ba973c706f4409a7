// The registry against fake udev devices and mount lists over real reader file trees:
// detection, main memory versus card, the scan's reconcile of remembered, attached and
// known readers, removals, and the exact channel events in their order.

#include "core/globalsclass.h"
#include "core/settingsstore.h"
#include "readers/gui_msgchannel.h"
#include "readers/readerdata.h"
#include "support/fakeplatform.h"
#include "readerfixture/readerfixture.h"

#include <QTemporaryDir>
#include <QtTest>

#include <filesystem>
#include <thread>

namespace fs = std::filesystem;

Q_DECLARE_METATYPE(BlockDevice)

namespace {

// Listens the way the main window does: queued, string-based signatures.
class EventLog : public QObject
{
    Q_OBJECT
public:
    explicit EventLog(gui_msgchannel *channel)
    {
        connect(channel, SIGNAL(device_added_main(QString, QString, bool, bool)), this,
                SLOT(gui_device_add_main(QString, QString, bool, bool)), Qt::QueuedConnection);
        connect(channel, SIGNAL(device_added_card(QString)), this,
                SLOT(gui_device_add_card(QString)), Qt::QueuedConnection);
        connect(channel, SIGNAL(device_removed(QString, QString, bool)), this,
                SLOT(gui_device_remove(QString, QString, bool)), Qt::QueuedConnection);
        connect(channel, &gui_msgchannel::device_NotMounted, this,
                [this](const QString &serial) { events << QStringLiteral("notmounted ") + serial; },
                Qt::QueuedConnection);
    }
    /// Delivers what is queued and hands the events over.
    QStringList take()
    {
        QCoreApplication::processEvents();
        QStringList result = events;
        events.clear();
        return result;
    }
    QStringList events;

public slots:
    void gui_device_add_main(QString serial, QString name, bool isvirtual, bool synced)
    {
        events << QStringLiteral("main %1 %2 virtual=%3 synced=%4")
                      .arg(serial, name)
                      .arg(isvirtual)
                      .arg(synced);
    }
    void gui_device_add_card(QString serial) { events << QStringLiteral("card ") + serial; }
    void gui_device_remove(QString serial, QString name, bool haslocalmirror)
    {
        events << QStringLiteral("remove %1 %2 mirror=%3").arg(serial, name).arg(haslocalmirror);
    }
};

} // namespace

class tst_readerregistry : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void scan_attachedReader_registeredAndAnnouncedOnce();
    void scan_mainAndCard_toldApartByExplorerDb();
    void scan_cardWithoutProfiles_notAnnounced();
    void scan_unsupportedDevices_ignored_data();
    void scan_unsupportedDevices_ignored();
    void scan_neverMounted_waitsFourTimesAndLeavesNothing();
    void scan_mountedDuringWait_found();
    void scan_mountVanished_treatedAsNotMounted();
    void scan_unplugged_removedFully();
    void scan_udevUnreadable_removesAttachedReaders();
    void scan_nonAsciiSerialAndName_arriveUnchanged();
    void scan_onWorkerThread_eventsInOrderAfterJoin();

    void mirror_rememberedReader_shownWithoutDevice();
    void mirror_deviceAttached_refreshesAndAnnouncesSynced();
    void mirror_deviceUnplugged_partialRemovalKeepsMirrorProfiles();
    void mirror_prefsEntryGone_removedFully();
    void prefs_unusableEntries_skipped();
    void prefs_fileIsDirectory_warnsAndDropsRememberedReaders();

    void removeReader_twice_logsAlreadyRemoved();
    void scan_virtualForThisRun_staysUntilRemoved();
    void removeAllReaders_removesEveryone();
    void unsupportedVendor_staysRegisteredWithoutDatabases();
    void isConnected_followsTheMountPoint();

private:
    fs::path dir(const char *relative) const { return fs::path(m_root->path().toStdString()) / relative; }
    fixture::ReaderTree mainMemory(const char *mount = "mnt/PB632");
    void writePrefs(const QByteArray &ini);

    std::unique_ptr<QTemporaryDir> m_root;
    std::shared_ptr<globalsClass> m_globals;
    std::shared_ptr<gui_msgchannel> m_channel;
    std::shared_ptr<FakeBlockDevices> m_devices;
    std::shared_ptr<FakeMounts> m_mounts;
    std::shared_ptr<ReaderData> m_registry;
    std::unique_ptr<EventLog> m_events;
};

void tst_readerregistry::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
}

void tst_readerregistry::init()
{
    m_root = std::make_unique<QTemporaryDir>();
    QVERIFY(m_root->isValid());
    m_globals = std::make_shared<globalsClass>(false, m_root->path().toStdString(),
                                               dir("data").string(), dir("share"), dir("config"));
    m_channel = std::make_shared<gui_msgchannel>();
    m_devices = std::make_shared<FakeBlockDevices>();
    m_mounts = std::make_shared<FakeMounts>();
    m_registry = std::make_shared<ReaderData>(m_channel, m_globals, false,
                                              makeFakePlatform(m_devices, m_mounts));
    m_events = std::make_unique<EventLog>(m_channel.get());
}

void tst_readerregistry::cleanup()
{
    m_events.reset();
    m_registry.reset();
    m_root.reset();
}

fixture::ReaderTree tst_readerregistry::mainMemory(const char *mount)
{
    fixture::ReaderTree tree(dir(mount));
    tree.addExplorerDb();
    tree.addRootProfile();
    return tree;
}

void tst_readerregistry::writePrefs(const QByteArray &ini)
{
    fixture::ReaderTree data(m_globals->datadir);
    data.addFile("devices.conf", ini);
}

void tst_readerregistry::scan_attachedReader_registeredAndAnnouncedOnce()
{
    const fixture::ReaderTree tree = mainMemory();
    m_devices->devices = std::vector<BlockDevice>{pocketBookDevice("SN-1", "/dev/sdb")};
    m_mounts->mount("/dev/sdb", tree.root(), "PB632");

    m_registry->device_scan(true);
    QCOMPARE(m_events->take(), QStringList{"main SN-1 PB632 virtual=0 synced=0"});

    const auto reader = m_registry->findReader("SN-1");
    QVERIFY(reader);
    QCOMPARE(reader->readertype, int(readertype_device));
    QVERIFY(reader->connected);
    QCOMPARE(reader->mainpath, tree.root());
    QCOMPARE(reader->maindevice, std::string("/dev/sdb"));
    QCOMPARE(reader->name, std::string("PB632"));
    QCOMPARE(reader->dbversion, int16_t(3));
    QCOMPARE(reader->db_main_relative, fs::path("system/explorer-3/explorer-3.db"));
    QCOMPARE(reader->profiles.size(), size_t(1));
    QCOMPARE(reader->profiles[0].name, std::string("root"));
    QCOMPARE(reader->owner, m_registry.get());

    // A rescan with the reader still there changes and announces nothing.
    m_registry->device_scan(false);
    QVERIFY(m_events->take().isEmpty());
    QCOMPARE(m_registry->readers.size(), size_t(1));
    QCOMPARE(m_registry->findReader("SN-1"), reader);
}

void tst_readerregistry::scan_mainAndCard_toldApartByExplorerDb()
{
    const fixture::ReaderTree main = mainMemory();
    fixture::ReaderTree card(dir("mnt/SDCARD"));
    card.addProfile("Anna");
    card.addProfile("Ben");
    // The card shows up first, as it can on a real bus.
    m_devices->devices = std::vector<BlockDevice>{pocketBookDevice("SN-2", "/dev/sdc1", "SDCARD", "0:1"),
                                                  pocketBookDevice("SN-2", "/dev/sdb", "PB632", "0:0")};
    m_mounts->mount("/dev/sdc1", card.root(), "SDCARD");
    m_mounts->mount("/dev/sdb", main.root(), "PB632");

    m_registry->device_scan(true);
    QCOMPARE(m_events->take(),
             (QStringList{"card SN-2", "main SN-2 PB632 virtual=0 synced=0"}));
    const auto reader = m_registry->findReader("SN-2");
    QCOMPARE(reader->cardpath, card.root());
    QCOMPARE(reader->carddevice, std::string("/dev/sdc1"));
    QCOMPARE(reader->cardname, std::string("SDCARD"));
    QCOMPARE(reader->mainpath, main.root());
    QCOMPARE(reader->profiles.size(), size_t(3));
    int onCard = 0;
    for (const ProfileInfo &profile : reader->profiles)
        onCard += profile.onCard ? 1 : 0;
    QCOMPARE(onCard, 2);
    QCOMPARE(m_registry->readers.size(), size_t(1));
}

void tst_readerregistry::scan_cardWithoutProfiles_notAnnounced()
{
    const fixture::ReaderTree main = mainMemory();
    const fixture::ReaderTree card(dir("mnt/SDCARD"));
    m_devices->devices = std::vector<BlockDevice>{pocketBookDevice("SN-3", "/dev/sdb"),
                                                  pocketBookDevice("SN-3", "/dev/sdc1", "SD", "0:1")};
    m_mounts->mount("/dev/sdb", main.root(), "PB632");
    m_mounts->mount("/dev/sdc1", card.root(), "SD");

    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^Neither root/profile paths found"));
    m_registry->device_scan(true);
    QCOMPARE(m_events->take(), QStringList{"main SN-3 PB632 virtual=0 synced=0"});
    QCOMPARE(m_registry->findReader("SN-3")->cardpath, card.root());
}

void tst_readerregistry::scan_unsupportedDevices_ignored_data()
{
    QTest::addColumn<BlockDevice>("device");
    BlockDevice upper = pocketBookDevice("X", "/dev/sdb");
    upper.vendorId = "FFFE";
    BlockDevice other = pocketBookDevice("X", "/dev/sdb");
    other.vendorId = "0781";
    BlockDevice noLabel = pocketBookDevice("X", "/dev/sdb");
    noLabel.fsLabel.reset();
    BlockDevice noSerial = pocketBookDevice("X", "/dev/sdb");
    noSerial.serial.reset();
    BlockDevice noModel = pocketBookDevice("X", "/dev/sdb");
    noModel.modelId.reset();
    BlockDevice noNode = pocketBookDevice("X", "/dev/sdb");
    noNode.devName.reset();
    BlockDevice noInstance = pocketBookDevice("X", "/dev/sdb");
    noInstance.instance.reset();
    QTest::newRow("upper-case vendor id") << upper;
    QTest::newRow("other vendor") << other;
    QTest::newRow("no file-system label") << noLabel;
    QTest::newRow("no serial") << noSerial;
    QTest::newRow("no model") << noModel;
    QTest::newRow("no device node") << noNode;
    QTest::newRow("no instance") << noInstance;
}

void tst_readerregistry::scan_unsupportedDevices_ignored()
{
    QFETCH(BlockDevice, device);
    const fixture::ReaderTree tree = mainMemory();
    m_mounts->mount("/dev/sdb", tree.root(), "PB632");
    m_devices->devices = std::vector<BlockDevice>{device};
    m_registry->device_scan(true);
    QVERIFY(m_registry->readers.empty());
    QVERIFY(m_events->take().isEmpty());
    QCOMPARE(m_mounts->waits, 0);
}

void tst_readerregistry::scan_neverMounted_waitsFourTimesAndLeavesNothing()
{
    m_devices->devices = std::vector<BlockDevice>{pocketBookDevice("SN-4", "/dev/sdb")};
    for (int i = 0; i < 4; ++i)
        QTest::ignoreMessage(QtWarningMsg, "Got no device name, retrying...");
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^Skipping device \\(not mounted\\)"));
    m_registry->device_scan(true);
    QCOMPARE(m_mounts->waits, 4);
    QCOMPARE(m_mounts->lookups, 5);
    QVERIFY(m_registry->readers.empty());
    QCOMPARE(m_events->take(), QStringList{"notmounted SN-4"});
}

void tst_readerregistry::scan_mountedDuringWait_found()
{
    const fixture::ReaderTree tree = mainMemory();
    m_devices->devices = std::vector<BlockDevice>{pocketBookDevice("SN-5", "/dev/sdb")};
    m_mounts->onWait(2, [&] { m_mounts->mount("/dev/sdb", tree.root(), "PB632"); });
    QTest::ignoreMessage(QtWarningMsg, "Got no device name, retrying...");
    QTest::ignoreMessage(QtWarningMsg, "Got no device name, retrying...");
    m_registry->device_scan(true);
    QCOMPARE(m_mounts->waits, 2);
    QCOMPARE(m_events->take(), QStringList{"main SN-5 PB632 virtual=0 synced=0"});
}

void tst_readerregistry::scan_mountVanished_treatedAsNotMounted()
{
    // The volume is listed, but its mount point is gone by the time it is read.
    m_devices->devices = std::vector<BlockDevice>{pocketBookDevice("SN-6", "/dev/sdb")};
    m_mounts->mount("/dev/sdb", dir("mnt/gone"), "PB632");
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^Skipping device \\(not mounted\\)"));
    m_registry->device_scan(true);
    QVERIFY(m_registry->readers.empty());
    QCOMPARE(m_events->take(), QStringList{"notmounted SN-6"});
}

void tst_readerregistry::scan_unplugged_removedFully()
{
    const fixture::ReaderTree tree = mainMemory();
    m_devices->devices = std::vector<BlockDevice>{pocketBookDevice("SN-7", "/dev/sdb")};
    m_mounts->mount("/dev/sdb", tree.root(), "PB632");
    m_registry->device_scan(true);
    std::weak_ptr<Reader> weak = m_registry->findReader("SN-7");
    m_events->take();

    m_devices->devices = std::vector<BlockDevice>{};
    m_mounts->unmount("/dev/sdb");
    m_registry->device_scan(false);
    QCOMPARE(m_events->take(), QStringList{"remove SN-7 PB632 mirror=0"});
    QVERIFY(m_registry->readers.empty());
    QVERIFY(weak.expired());

    // Plugged in again: a new reader, announced again.
    m_devices->devices = std::vector<BlockDevice>{pocketBookDevice("SN-7", "/dev/sdb")};
    m_mounts->mount("/dev/sdb", tree.root(), "PB632");
    m_registry->device_scan(false);
    QCOMPARE(m_events->take(), QStringList{"main SN-7 PB632 virtual=0 synced=0"});
}

void tst_readerregistry::scan_udevUnreadable_removesAttachedReaders()
{
    const fixture::ReaderTree tree = mainMemory();
    m_devices->devices = std::vector<BlockDevice>{pocketBookDevice("SN-8", "/dev/sdb")};
    m_mounts->mount("/dev/sdb", tree.root(), "PB632");
    m_registry->device_scan(true);
    m_events->take();

    m_devices->devices.reset();
    m_registry->device_scan(false);
    QCOMPARE(m_events->take(), QStringList{"remove SN-8 PB632 mirror=0"});
}

void tst_readerregistry::scan_nonAsciiSerialAndName_arriveUnchanged()
{
    const fixture::ReaderTree tree = mainMemory();
    m_devices->devices =
        std::vector<BlockDevice>{pocketBookDevice("Ñ-12", "/dev/sdb", "Lésebuch 📖")};
    m_mounts->mount("/dev/sdb", tree.root(), "Lésebuch 📖");
    m_registry->device_scan(true);
    QCOMPARE(m_events->take(), QStringList{"main Ñ-12 Lésebuch 📖 virtual=0 synced=0"});
}

void tst_readerregistry::scan_onWorkerThread_eventsInOrderAfterJoin()
{
    const fixture::ReaderTree main = mainMemory("mnt/A");
    const fixture::ReaderTree other = mainMemory("mnt/B");
    fixture::ReaderTree card(dir("mnt/cardA"));
    card.addProfile("kid");
    m_devices->devices = std::vector<BlockDevice>{pocketBookDevice("A", "/dev/sdb"),
                                                  pocketBookDevice("A", "/dev/sdc1", "SD", "0:1"),
                                                  pocketBookDevice("B", "/dev/sdd", "Other")};
    m_mounts->mount("/dev/sdb", main.root(), "Mine");
    m_mounts->mount("/dev/sdc1", card.root(), "SD");
    m_mounts->mount("/dev/sdd", other.root(), "Other");

    std::shared_ptr<ReaderData> registry = m_registry;
    std::thread scan([registry] { registry->device_scan(true); });
    scan.join();
    QVERIFY(m_events->events.isEmpty());
    QCOMPARE(m_events->take(), (QStringList{"main A Mine virtual=0 synced=0", "card A",
                                            "main B Other virtual=0 synced=0"}));
}

void tst_readerregistry::mirror_rememberedReader_shownWithoutDevice()
{
    fixture::ReaderTree mirror(m_globals->datadir / "SN-M" / "localdbmirror");
    mirror.addExplorerDb();
    mirror.addRootProfile();
    writePrefs("[SN-M]\nserial=SN-M\nreaderType=1\nvendor=1\nname=Kitchen reader\n");

    m_registry->device_scan(true);
    QCOMPARE(m_events->take(), QStringList{"main SN-M Kitchen reader virtual=1 synced=0"});
    const auto reader = m_registry->findReader("SN-M");
    QCOMPARE(reader->readertype, int(readertype_localmirror));
    QVERIFY(!reader->connected);
    QCOMPARE(reader->mainpath, mirror.root());
    QCOMPARE(reader->db_main, mirror.root() / "system/explorer-3/explorer-3.db");
    QCOMPARE(reader->profiles.size(), size_t(1));
    QVERIFY(reader->profiles[0].fromMirror);

    // Seen again at the next scan: no second announcement.
    m_registry->device_scan(false);
    QVERIFY(m_events->take().isEmpty());
}

void tst_readerregistry::mirror_deviceAttached_refreshesAndAnnouncesSynced()
{
    const fixture::ReaderTree tree = mainMemory();
    writePrefs("[SN-9]\nserial=SN-9\nreaderType=1\nvendor=1\nname=PB632\n");
    m_devices->devices = std::vector<BlockDevice>{pocketBookDevice("SN-9", "/dev/sdb")};
    m_mounts->mount("/dev/sdb", tree.root(), "PB632");

    m_registry->device_scan(true);
    QCOMPARE(m_events->take(), (QStringList{"main SN-9 PB632 virtual=1 synced=0",
                                            "main SN-9 PB632 virtual=0 synced=1"}));
    const fs::path mirror = m_globals->datadir / "SN-9" / "localdbmirror";
    QVERIFY(fs::exists(mirror / "system/explorer-3/explorer-3.db"));
    QVERIFY(fs::exists(mirror / "system/config/books.db"));
    const auto reader = m_registry->findReader("SN-9");
    QVERIFY(reader->connected);
    QCOMPARE(reader->mainpath, tree.root());
}

void tst_readerregistry::mirror_deviceUnplugged_partialRemovalKeepsMirrorProfiles()
{
    const fixture::ReaderTree tree = mainMemory();
    fixture::ReaderTree mirror(m_globals->datadir / "SN-10" / "localdbmirror");
    mirror.addExplorerDb();
    mirror.addRootProfile();
    writePrefs("[SN-10]\nserial=SN-10\nreaderType=1\nvendor=1\nname=PB632\n");
    m_devices->devices = std::vector<BlockDevice>{pocketBookDevice("SN-10", "/dev/sdb")};
    m_mounts->mount("/dev/sdb", tree.root(), "PB632");
    m_registry->device_scan(true);
    m_events->take();
    QCOMPARE(m_registry->findReader("SN-10")->profiles.size(), size_t(2));

    m_devices->devices = std::vector<BlockDevice>{};
    m_mounts->unmount("/dev/sdb");
    m_registry->device_scan(false);
    QCOMPARE(m_events->take(), QStringList{"remove SN-10 PB632 mirror=1"});
    const auto reader = m_registry->findReader("SN-10");
    QVERIFY(reader);
    QVERIFY(!reader->connected);
    QVERIFY(reader->mainpath.empty() && reader->maindevice.empty() && reader->db_main.empty());
    QCOMPARE(reader->profiles.size(), size_t(1));
    QVERIFY(reader->profiles[0].fromMirror);
}

void tst_readerregistry::mirror_prefsEntryGone_removedFully()
{
    fixture::ReaderTree mirror(m_globals->datadir / "SN-11" / "localdbmirror");
    mirror.addExplorerDb();
    mirror.addRootProfile();
    writePrefs("[SN-11]\nserial=SN-11\nreaderType=1\nvendor=1\nname=Old\n");
    m_registry->device_scan(true);
    m_events->take();

    writePrefs("");
    m_registry->device_scan(false);
    QCOMPARE(m_events->take(), QStringList{"remove SN-11 Old mirror=0"});
    QVERIFY(m_registry->readers.empty());
    // The mirror's files stay on disk.
    QVERIFY(fs::exists(mirror.root() / "system/config/books.db"));
}

void tst_readerregistry::prefs_unusableEntries_skipped()
{
    writePrefs("[A]\nserial=\nreaderType=1\nvendor=1\n"
               "[B]\nserial=B\nreaderType=0\nvendor=1\n"
               "[C]\nserial=C\nreaderType=1\nvendor=0\n"
               "[D]\nserial=D\nvendor=1\n"
               "[E]\nserial=E\nreaderType=2\nvendor=1\n");
    QTest::ignoreMessage(QtWarningMsg, "Device preference key is empty, skipping");
    const std::vector<std::string> serials = m_registry->scanLocalMirrors();
    // E is usable but carries no folder: listed, yet nothing is added for it.
    QCOMPARE(serials, std::vector<std::string>{"E"});
    QVERIFY(m_registry->readers.empty());
    QVERIFY(m_events->take().isEmpty());
}

void tst_readerregistry::prefs_fileIsDirectory_warnsAndDropsRememberedReaders()
{
    fixture::ReaderTree mirror(m_globals->datadir / "SN-12" / "localdbmirror");
    mirror.addRootProfile();
    writePrefs("[SN-12]\nserial=SN-12\nreaderType=1\nvendor=1\nname=R\n");
    m_registry->device_scan(true);
    m_events->take();

    fs::remove(m_globals->settingsDevices);
    fs::create_directory(m_globals->settingsDevices);
    QTest::ignoreMessage(QtWarningMsg,
                         "Scan local mirrors failed to access device preferences. Skipping.");
    m_registry->device_scan(false);
    QCOMPARE(m_events->take(), QStringList{"remove SN-12 R mirror=0"});
}

void tst_readerregistry::removeReader_twice_logsAlreadyRemoved()
{
    const fixture::ReaderTree tree = mainMemory();
    m_devices->devices = std::vector<BlockDevice>{pocketBookDevice("SN-13", "/dev/sdb")};
    m_mounts->mount("/dev/sdb", tree.root(), "PB632");
    m_registry->device_scan(true);

    m_registry->removeReader("SN-13", {}, false);
    QTest::ignoreMessage(QtDebugMsg, "Attempting to find and remove reader");
    QTest::ignoreMessage(
        QtDebugMsg, "Reader already removed (likely card removal issued another removal request).");
    m_registry->removeReader("SN-13", {}, false);
    QTest::ignoreMessage(QtDebugMsg, "Attempting to find and remove reader");
    QTest::ignoreMessage(QtDebugMsg, "No ID provided for removal");
    m_registry->removeReader({}, {}, false);
    QCOMPARE(m_events->take(),
             (QStringList{"main SN-13 PB632 virtual=0 synced=0", "remove SN-13 PB632 mirror=0"}));
}

void tst_readerregistry::scan_virtualForThisRun_staysUntilRemoved()
{
    fixture::ReaderTree folder(dir("archive-extract"));
    folder.addExplorerDb(fixture::ExplorerLayout::InSystem3);
    folder.addRootProfile();
    DetectionRecord record;
    record.kind = readertype_virtual_run;
    record.serial = "VIRT-1";
    record.name = "From backup";
    record.path = folder.root();
    m_registry->addVirtualReader(record);
    const auto reader = m_registry->findReader("VIRT-1");
    QCOMPARE(reader->vdbpath, folder.root() / "system/explorer-3.db");
    QCOMPARE(reader->profiles.size(), size_t(1));

    // Never in the preferences: a scan keeps it, and its removal reaches the window.
    m_registry->device_scan(false);
    QCOMPARE(m_registry->readers.size(), size_t(1));
    QCOMPARE(m_events->take(), QStringList{"main VIRT-1 From backup virtual=1 synced=0"});
    m_registry->removeReader("VIRT-1", {}, false);
    QVERIFY(m_registry->readers.empty());
    QCOMPARE(m_events->take(), QStringList{"remove VIRT-1 From backup mirror=0"});
}

void tst_readerregistry::removeAllReaders_removesEveryone()
{
    const fixture::ReaderTree a = mainMemory("mnt/A");
    const fixture::ReaderTree b = mainMemory("mnt/B");
    m_devices->devices = std::vector<BlockDevice>{pocketBookDevice("A", "/dev/sdb"),
                                                  pocketBookDevice("B", "/dev/sdc")};
    m_mounts->mount("/dev/sdb", a.root(), "A");
    m_mounts->mount("/dev/sdc", b.root(), "B");
    m_registry->device_scan(true);
    m_events->take();

    QVERIFY(m_registry->removeAllReaders());
    QVERIFY(m_registry->readers.empty());
    QCOMPARE(m_events->take(), (QStringList{"remove A A mirror=0", "remove B B mirror=0"}));
    QVERIFY(m_registry->removeAllReaders());
}

void tst_readerregistry::unsupportedVendor_staysRegisteredWithoutDatabases()
{
    fixture::ReaderTree mirror(m_globals->datadir / "SN-V" / "localdbmirror");
    mirror.addExplorerDb();
    mirror.addRootProfile();
    writePrefs("[SN-V]\nserial=SN-V\nreaderType=1\nvendor=7\nname=Other make\n");
    QTest::ignoreMessage(QtWarningMsg, "Unsupported reader vendor (get_db_main)");
    QTest::ignoreMessage(QtWarningMsg, "Unsupported reader vendor (processProfiles)");
    m_registry->device_scan(true);
    const auto reader = m_registry->findReader("SN-V");
    QVERIFY(reader);
    QVERIFY(reader->db_main.empty());
    QCOMPARE(reader->dbversion, int16_t(-1));
    QVERIFY(reader->profiles.empty());
    QTest::ignoreMessage(QtWarningMsg, "Unknown vendor  (get_profilesIDs)");
    QVERIFY(reader->get_profilesIDs().empty());
}

void tst_readerregistry::isConnected_followsTheMountPoint()
{
    const fixture::ReaderTree tree = mainMemory();
    m_devices->devices = std::vector<BlockDevice>{pocketBookDevice("SN-14", "/dev/sdb")};
    m_mounts->mount("/dev/sdb", tree.root(), "PB632");
    m_registry->device_scan(true);
    const auto reader = m_registry->findReader("SN-14");
    QVERIFY(reader->isConnected());
    QCOMPARE(reader->get_profilesIDs(), (std::vector<std::pair<int, std::string>>{{1, "default"}}));

    fs::remove_all(tree.root());
    QVERIFY(!reader->isConnected());
    QVERIFY(!reader->connected);

    // Without a registry (or with a device scanner) the flag is left as it is.
    Reader loose(DetectionRecord{});
    loose.connected = true;
    QVERIFY(loose.isConnected());
}

QTEST_GUILESS_MAIN(tst_readerregistry)
#include "tst_readerregistry.moc"
