// The registry against fake udev devices and mount lists over real reader file trees:
// detection, main memory versus card, the scan's reconcile of remembered, attached and
// known readers, removals, and the channel events in their order.

#include "core/globalsclass.h"
#include "readers/readerdata.h"
#include "support/registryrig.h"
#include "support/testhelpers.h"

#include <QtTest>

#include <filesystem>
#include <functional>
#include <thread>

namespace fs = std::filesystem;

class tst_readerregistry : public QObject
{
    Q_OBJECT

    std::unique_ptr<RegistryRig> rig;

private slots:
    void init() { rig = std::make_unique<RegistryRig>(); }
    void cleanup() { rig.reset(); }

    void scan_attachRescanUnplugReplug_data()
    {
        QTest::addColumn<bool>("udevFails"); // else the device is simply gone
        QTest::newRow("unplugged") << false;
        QTest::newRow("udev unreadable") << true;
    }

    void scan_attachRescanUnplugReplug()
    {
        QFETCH(bool, udevFails);
        const fixture::ReaderTree tree = rig->mainMemory("mnt/PB632");
        rig->plug("Ñ-12", "/dev/sdb", tree.root(), "Lésebuch 📖");
        rig->registry->device_scan(true);
        QCOMPARE(rig->take(), QStringList{"main Ñ-12 Lésebuch 📖 virtual=0 synced=0"});
        const std::weak_ptr<Reader> reader = rig->registry->findReader("Ñ-12");
        QVERIFY(reader.lock() && reader.lock()->connected);
        QCOMPARE(reader.lock()->mainpath, tree.root());
        QCOMPARE(reader.lock()->db_main, tree.root() / "system/explorer-3/explorer-3.db");
        QCOMPARE(reader.lock()->profiles.size(), size_t(1));

        // Still there: nothing changes, nothing is announced.
        rig->registry->device_scan(false);
        QVERIFY(rig->take().isEmpty());
        QCOMPARE(rig->registry->readers.size(), size_t(1));

        if (udevFails)
            rig->devices->devices.reset();
        else
            rig->unplugAll();
        rig->registry->device_scan(false);
        QCOMPARE(rig->take(), QStringList{"remove Ñ-12 Lésebuch 📖 mirror=0"});
        QVERIFY(rig->registry->readers.empty());
        QVERIFY(reader.expired());

        rig->unplugAll();
        rig->plug("Ñ-12", "/dev/sdb", tree.root(), "Lésebuch 📖");
        rig->registry->device_scan(false);
        QCOMPARE(rig->take(), QStringList{"main Ñ-12 Lésebuch 📖 virtual=0 synced=0"});
    }

    void scan_mainAndCard_data()
    {
        QTest::addColumn<bool>("cardProfiles");
        QTest::newRow("card with profiles") << true;
        QTest::newRow("card without profiles") << false;
    }

    void scan_mainAndCard()
    {
        QFETCH(bool, cardProfiles);
        const fixture::ReaderTree main = rig->mainMemory("mnt/PB632");
        fixture::ReaderTree card(rig->at("mnt/SDCARD"));
        if (cardProfiles) {
            card.addProfile("Anna");
            card.addProfile("Ben");
        }
        // The card shows up first, as it can on a real bus; the explorer database tells them apart.
        rig->plug("SN-2", "/dev/sdc1", card.root(), "SDCARD", "0:1");
        rig->plug("SN-2", "/dev/sdb", main.root());
        const testhelpers::LogRecorder log;
        rig->registry->device_scan(true);
        QStringList expected{"main SN-2 PB632 virtual=0 synced=0"};
        if (cardProfiles)
            expected.prepend("card SN-2");
        QCOMPARE(rig->take(), expected);
        QCOMPARE(rig->registry->readers.size(), size_t(1));
        const auto reader = rig->registry->findReader("SN-2");
        QCOMPARE(reader->cardpath, card.root());
        QCOMPARE(reader->mainpath, main.root());
        int onCard = 0;
        for (const ProfileInfo &profile : reader->profiles)
            onCard += profile.onCard ? 1 : 0;
        QCOMPARE(onCard, cardProfiles ? 2 : 0);
        QCOMPARE(reader->profiles.size(), size_t(onCard + 1));
    }

    void scan_unsupportedDevice_ignored_data()
    {
        QTest::addColumn<int>("change");
        int row = 0;
        for (const char *change : {"upper-case vendor", "other vendor", "no label", "no serial",
                                   "no model", "no node", "no instance"})
            QTest::newRow(change) << row++;
    }

    void scan_unsupportedDevice_ignored()
    {
        QFETCH(int, change);
        const fixture::ReaderTree tree = rig->mainMemory("mnt/PB632");
        rig->plug("X", "/dev/sdb", tree.root());
        BlockDevice &d = rig->devices->devices->front();
        const std::function<void()> changes[] = {
            [&] { d.vendorId = "FFFE"; }, [&] { d.vendorId = "0781"; }, [&] { d.fsLabel.reset(); },
            [&] { d.serial.reset(); },    [&] { d.modelId.reset(); },   [&] { d.devName.reset(); },
            [&] { d.instance.reset(); }};
        changes[change]();
        rig->registry->device_scan(true);
        QVERIFY(rig->registry->readers.empty());
        QVERIFY(rig->take().isEmpty());
        QCOMPARE(rig->mounts->waits, 0);
    }

    void scan_mountLate_data()
    {
        QTest::addColumn<int>("mountedAtWait"); // 0: never
        QTest::addColumn<bool>("mountPointGone");
        QTest::addColumn<int>("waits");
        QTest::addColumn<QString>("event");
        QTest::newRow("never mounted") << 0 << false << 4 << "notmounted SN-4";
        QTest::newRow("mounted during the second wait")
            << 2 << false << 2 << "main SN-4 PB632 virtual=0 synced=0";
        QTest::newRow("listed, mount point gone") << 0 << true << 0 << "notmounted SN-4";
    }

    void scan_mountLate()
    {
        QFETCH(int, mountedAtWait);
        QFETCH(bool, mountPointGone);
        QFETCH(int, waits);
        QFETCH(QString, event);
        const fixture::ReaderTree tree = rig->mainMemory("mnt/PB632");
        rig->devices->devices = std::vector<BlockDevice>{pocketBookDevice("SN-4", "/dev/sdb")};
        if (mountPointGone)
            rig->mounts->mount("/dev/sdb", rig->at("mnt/gone"), "PB632");
        if (mountedAtWait > 0)
            rig->mounts->onWait(mountedAtWait,
                                [&] { rig->mounts->mount("/dev/sdb", tree.root(), "PB632"); });
        const testhelpers::LogRecorder log;
        rig->registry->device_scan(true);
        QCOMPARE(rig->mounts->waits, waits);
        QCOMPARE(rig->take(), QStringList{event});
        QCOMPARE(rig->registry->readers.size(), size_t(mountedAtWait > 0 ? 1 : 0));
    }

    void scan_onWorkerThread_eventsInOrder()
    {
        const fixture::ReaderTree a = rig->mainMemory("mnt/A"), b = rig->mainMemory("mnt/B");
        fixture::ReaderTree card(rig->at("mnt/cardA"));
        card.addProfile("kid");
        rig->plug("A", "/dev/sdb", a.root(), "Mine");
        rig->plug("A", "/dev/sdc1", card.root(), "SD", "0:1");
        rig->plug("B", "/dev/sdd", b.root(), "Other");
        std::shared_ptr<ReaderData> registry = rig->registry;
        std::thread([registry] { registry->device_scan(true); }).join();
        QCOMPARE(rig->take(), (QStringList{"main A Mine virtual=0 synced=0", "card A",
                                           "main B Other virtual=0 synced=0"}));
    }

    void remembered_shownThenDropped_data()
    {
        QTest::addColumn<bool>("prefsBecomeFolder"); // else the entry is removed
        QTest::newRow("entry removed") << false;
        QTest::newRow("preferences unreadable") << true;
    }

    void remembered_shownThenDropped()
    {
        QFETCH(bool, prefsBecomeFolder);
        const fixture::ReaderTree mirror = rig->rememberWithMirror("SN-M", "Kitchen reader");
        rig->registry->device_scan(true);
        QCOMPARE(rig->take(), QStringList{"main SN-M Kitchen reader virtual=1 synced=0"});
        const auto reader = rig->registry->findReader("SN-M");
        QVERIFY(!reader->connected);
        QCOMPARE(reader->db_main, mirror.root() / "system/explorer-3/explorer-3.db");
        QCOMPARE(reader->profiles.size(), size_t(1));
        QVERIFY(reader->profiles[0].fromMirror);
        rig->registry->device_scan(false);
        QVERIFY(rig->take().isEmpty());

        if (prefsBecomeFolder) {
            fs::remove(rig->globals->settingsDevices);
            fs::create_directory(rig->globals->settingsDevices);
        } else {
            rig->writePrefs("");
        }
        const testhelpers::LogRecorder log;
        rig->registry->device_scan(false);
        QCOMPARE(rig->take(), QStringList{"remove SN-M Kitchen reader mirror=0"});
        QVERIFY(rig->registry->readers.empty());
        QVERIFY(fs::exists(mirror.root() / "system/config/books.db")); // files stay
    }

    void remembered_attachedThenUnplugged_keepsMirror()
    {
        const fixture::ReaderTree tree = rig->mainMemory("mnt/PB632");
        rig->rememberWithMirror("SN-9", "PB632");
        rig->plug("SN-9", "/dev/sdb", tree.root());
        rig->registry->device_scan(true);
        QCOMPARE(rig->take(), (QStringList{"main SN-9 PB632 virtual=1 synced=0",
                                           "main SN-9 PB632 virtual=0 synced=1"}));
        QVERIFY(rig->registry->findReader("SN-9")->connected);
        QCOMPARE(rig->registry->findReader("SN-9")->profiles.size(), size_t(2));

        rig->unplugAll();
        rig->registry->device_scan(false);
        QCOMPARE(rig->take(), QStringList{"remove SN-9 PB632 mirror=1"});
        const auto reader = rig->registry->findReader("SN-9");
        QVERIFY(reader && !reader->connected);
        QVERIFY(reader->mainpath.empty() && reader->maindevice.empty() && reader->db_main.empty());
        QCOMPARE(reader->profiles.size(), size_t(1));
        QVERIFY(reader->profiles[0].fromMirror);
    }

    void prefs_unusableEntries_skipped()
    {
        rig->writePrefs("[A]\nserial=\nreaderType=1\nvendor=1\n"
                        "[B]\nserial=B\nreaderType=0\nvendor=1\n"
                        "[C]\nserial=C\nreaderType=1\nvendor=0\n"
                        "[D]\nserial=D\nvendor=1\n"
                        "[E]\nserial=E\nreaderType=2\nvendor=1\n");
        const testhelpers::LogRecorder log;
        // E is usable but has no mirror folder: listed, yet nothing is added for it.
        QCOMPARE(rig->registry->scanLocalMirrors(), std::vector<std::string>{"E"});
        QVERIFY(rig->registry->readers.empty());
        QVERIFY(rig->take().isEmpty());
    }

    void unsupportedVendor_registeredWithoutDatabases()
    {
        rig->rememberWithMirror("SN-V", "Other make");
        rig->writePrefs("[SN-V]\nserial=SN-V\nreaderType=1\nvendor=7\nname=Other make\n");
        const testhelpers::LogRecorder log;
        rig->registry->device_scan(true);
        const auto reader = rig->registry->findReader("SN-V");
        QVERIFY(reader && reader->db_main.empty() && reader->profiles.empty());
        QVERIFY(reader->get_profilesIDs().empty());
    }

    void remove_onceEach_virtualForThisRunKeptByScans()
    {
        const fixture::ReaderTree a = rig->mainMemory("mnt/A"), b = rig->mainMemory("mnt/B");
        rig->plug("A", "/dev/sdb", a.root(), "A");
        rig->plug("B", "/dev/sdc", b.root(), "B");
        rig->registry->device_scan(true);
        rig->take();
        rig->registry->removeReader("A", {}, false);
        rig->registry->removeReader("A", {}, false);
        rig->registry->removeReader({}, {}, false);
        QCOMPARE(rig->take(), QStringList{"remove A A mirror=0"});
        QVERIFY(rig->registry->removeAllReaders());
        QCOMPARE(rig->take(), QStringList{"remove B B mirror=0"});
        QVERIFY(rig->registry->removeAllReaders());

        // A reader opened from a backup for this run only: never in the preferences, a scan
        // keeps it, and its removal reaches the window.
        fixture::ReaderTree folder(rig->at("archive-extract"));
        folder.addExplorerDb(fixture::ExplorerLayout::InSystem3);
        folder.addRootProfile();
        DetectionRecord record;
        record.kind = readertype_virtual_run;
        record.serial = "VIRT-1";
        record.name = "From backup";
        record.path = folder.root();
        rig->registry->addVirtualReader(record);
        QCOMPARE(rig->registry->findReader("VIRT-1")->vdbpath, folder.root() / "system/explorer-3.db");
        QCOMPARE(rig->registry->findReader("VIRT-1")->profiles.size(), size_t(1));
        rig->unplugAll();
        rig->registry->device_scan(false);
        QCOMPARE(rig->registry->readers.size(), size_t(1));
        QCOMPARE(rig->take(), QStringList{"main VIRT-1 From backup virtual=1 synced=0"});
        rig->registry->removeReader("VIRT-1", {}, false);
        QVERIFY(rig->registry->readers.empty());
        QCOMPARE(rig->take(), QStringList{"remove VIRT-1 From backup mirror=0"});
    }

    void isConnected_followsTheMountPoint()
    {
        const fixture::ReaderTree tree = rig->mainMemory("mnt/PB632");
        rig->plug("SN-14", "/dev/sdb", tree.root());
        rig->registry->device_scan(true);
        const auto reader = rig->registry->findReader("SN-14");
        QVERIFY(reader->isConnected());
        QCOMPARE(reader->get_profilesIDs(), (std::vector<std::pair<int, std::string>>{{1, "default"}}));
        fs::remove_all(tree.root());
        QVERIFY(!reader->isConnected());
        QVERIFY(!reader->connected);
    }
};

QTEST_GUILESS_MAIN(tst_readerregistry)
#include "tst_readerregistry.moc"
