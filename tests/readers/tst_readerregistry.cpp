// The registry against fake udev devices and mount lists over real reader file trees:
// detection, main memory versus card, the scan's reconcile of remembered, attached and
// known readers, removals, and the channel events in their order.

#include "core/globalsclass.h"
#include "readers/readerdata.h"
#include "support/registryrig.h"

#include <QtTest>

#include <filesystem>
#include <functional>
#include <thread>

namespace fs = std::filesystem;

class tst_readerregistry : public QObject
{
    Q_OBJECT

    std::unique_ptr<RegistryRig> rig;

    // One scan; the events it sent, as the window receives them.
    QStringList scan(bool firstScan = false)
    {
        rig->registry->device_scan(firstScan);
        return rig->take();
    }
    std::shared_ptr<Reader> reader(const std::string &serial)
    {
        return rig->registry->findReader(serial);
    }

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
        const QStringList added{"main Ñ-12 Lésebuch 📖 virtual=0 synced=0"};
        rig->plug("Ñ-12", "/dev/sdb", tree.root(), "Lésebuch 📖");
        QCOMPARE(scan(true), added);
        const std::weak_ptr<Reader> attached = reader("Ñ-12");
        QVERIFY(attached.lock() && attached.lock()->connected);
        QCOMPARE(attached.lock()->mainpath, tree.root());
        QCOMPARE(attached.lock()->profiles.size(), size_t(1));
        // Still there: nothing changes, nothing is announced.
        QVERIFY(scan().isEmpty());
        QCOMPARE(rig->registry->readers.size(), size_t(1));

        if (udevFails)
            rig->devices->devices.reset();
        else
            rig->unplugAll();
        QCOMPARE(scan(), QStringList{"remove Ñ-12 Lésebuch 📖 mirror=0"});
        QVERIFY(rig->registry->readers.empty() && attached.expired());

        rig->unplugAll();
        rig->plug("Ñ-12", "/dev/sdb", tree.root(), "Lésebuch 📖");
        QCOMPARE(scan(), added);
        // A reader knows itself gone as soon as its mount point is.
        QVERIFY(reader("Ñ-12")->isConnected());
        fs::remove_all(tree.root());
        QVERIFY(!reader("Ñ-12")->isConnected() && !reader("Ñ-12")->connected);
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
        rig->plug("B", "/dev/sdd", rig->mainMemory("mnt/B").root(), "Other");
        // The scan runs on a worker thread; the window gets its events queued, in their order.
        std::shared_ptr<ReaderData> registry = rig->registry;
        std::thread([registry] { registry->device_scan(true); }).join();
        QStringList expected{"main SN-2 PB632 virtual=0 synced=0",
                             "main B Other virtual=0 synced=0"};
        if (cardProfiles)
            expected.prepend("card SN-2");
        QCOMPARE(rig->take(), expected);
        QCOMPARE(rig->registry->readers.size(), size_t(2));
        QCOMPARE(reader("SN-2")->cardpath, card.root());
        QCOMPARE(reader("SN-2")->mainpath, main.root());
        int onCard = 0;
        for (const ProfileInfo &profile : reader("SN-2")->profiles)
            onCard += profile.onCard ? 1 : 0;
        QCOMPARE(onCard, cardProfiles ? 2 : 0);
        QCOMPARE(reader("SN-2")->profiles.size(), size_t(onCard + 1));

        // Each reader leaves once, however often it is removed.
        rig->registry->removeReader("SN-2", {}, false);
        rig->registry->removeReader("SN-2", {}, false);
        rig->registry->removeReader({}, {}, false);
        QCOMPARE(rig->take(), QStringList{"remove SN-2 PB632 mirror=0"});
        QVERIFY(rig->registry->removeAllReaders());
        QCOMPARE(rig->take(), QStringList{"remove B Other mirror=0"});
        QVERIFY(rig->registry->removeAllReaders() && rig->take().isEmpty());
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
        QVERIFY(scan(true).isEmpty());
        QVERIFY(rig->registry->readers.empty());
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
        QCOMPARE(scan(true), QStringList{event});
        QCOMPARE(rig->mounts->waits, waits);
        QCOMPARE(rig->registry->readers.size(), size_t(mountedAtWait > 0 ? 1 : 0));
    }

    void remembered_attachedUnpluggedDropped_data()
    {
        QTest::addColumn<bool>("prefsBecomeFolder"); // else the entry is removed
        QTest::newRow("entry removed") << false;
        QTest::newRow("preferences unreadable") << true;
    }

    void remembered_attachedUnpluggedDropped()
    {
        QFETCH(bool, prefsBecomeFolder);
        const fixture::ReaderTree tree = rig->mainMemory("mnt/PB632");
        const fixture::ReaderTree mirror = rig->rememberWithMirror("SN-9", "PB632");
        rig->plug("SN-9", "/dev/sdb", tree.root());
        QCOMPARE(scan(true), (QStringList{"main SN-9 PB632 virtual=1 synced=0",
                                          "main SN-9 PB632 virtual=0 synced=1"}));
        QVERIFY(reader("SN-9")->connected);
        QCOMPARE(reader("SN-9")->profiles.size(), size_t(2));

        // Unplugged, the reader stays with its mirror alone.
        rig->unplugAll();
        QCOMPARE(scan(), QStringList{"remove SN-9 PB632 mirror=1"});
        const auto left = reader("SN-9");
        QVERIFY(left && !left->connected);
        QVERIFY(left->mainpath.empty() && left->maindevice.empty() && left->db_main.empty());
        QCOMPARE(left->profiles.size(), size_t(1));
        QVERIFY(left->profiles[0].fromMirror);
        QVERIFY(scan().isEmpty());

        if (prefsBecomeFolder) {
            fs::remove(rig->globals->settingsDevices);
            fs::create_directory(rig->globals->settingsDevices);
        } else {
            rig->writePrefs("");
        }
        QCOMPARE(scan(), QStringList{"remove SN-9 PB632 mirror=0"});
        QVERIFY(rig->registry->readers.empty());
        QVERIFY(fs::exists(mirror.root() / "system/config/books.db")); // files stay
    }

    void prefs_unusableEntriesSkipped_otherVendorWithoutDatabases()
    {
        rig->rememberWithMirror("V", "Other make");
        rig->writePrefs("[A]\nserial=\nreaderType=1\nvendor=1\n"
                        "[B]\nserial=B\nreaderType=0\nvendor=1\n"
                        "[C]\nserial=C\nreaderType=1\nvendor=0\n"
                        "[D]\nserial=D\nvendor=1\n"
                        "[E]\nserial=E\nreaderType=2\nvendor=1\n"
                        "[V]\nserial=V\nreaderType=1\nvendor=7\nname=Other make\n");
        // E is usable but has no mirror folder: listed, yet nothing is added for it.
        QCOMPARE(rig->registry->scanLocalMirrors(), (std::vector<std::string>{"E", "V"}));
        QCOMPARE(rig->registry->readers.size(), size_t(1));
        QVERIFY(reader("V")->db_main.empty() && reader("V")->profiles.empty());
        QVERIFY(reader("V")->get_profilesIDs().empty());
    }
};

QTEST_GUILESS_MAIN(tst_readerregistry)
#include "tst_readerregistry.moc"
