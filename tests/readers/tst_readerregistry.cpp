// The registry against fake udev devices and mount lists over real reader file trees:
// detection, main memory versus card, the scan's reconcile of remembered, attached and
// known readers, removals, and the channel events in their order.

#include "core/globalsclass.h"
#include "readers/readerdata.h"
#include "support/registryrig.h"

#include <QtTest>

#include <filesystem>
#include <functional>
#include <set>
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
    // A reader as one line: connected or not, main memory, card and explorer database below
    // the rig's folder, main device node, then its profiles, sorted, with where each was found.
    QString describe(const std::string &serial)
    {
        const std::shared_ptr<Reader> r = rig->registry->findReader(serial);
        std::string line = r->connected ? "connected" : "unplugged";
        for (const fs::path &path : {r->mainpath, r->cardpath, r->db_main, fs::path(r->maindevice)})
            line += " " + (path.empty() ? "-" : path.string());
        std::set<std::string> profiles;
        for (const ProfileInfo &p : r->profiles)
            profiles.insert(p.name + (p.fromMirror ? "@mirror" : p.onCard ? "@card" : ""));
        for (const std::string &profile : profiles)
            line += " " + profile;
        return QString::fromStdString(line).remove(
            QString::fromStdString(rig->base.string() + '/'));
    }

private slots:
    void init() { rig = std::make_unique<RegistryRig>(); }
    void cleanup() { rig.reset(); }

    void scan_attachRescanUnplugReplug()
    {
        const fixture::ReaderTree tree = rig->mainMemory("mnt/PB632");
        const QStringList added{"main Ñ-12 Lésebuch 📖 virtual=0 synced=0"};
        rig->plug("Ñ-12", "/dev/sdb", tree.root(), "Lésebuch 📖");
        QCOMPARE(scan(true), added);
        QCOMPARE(describe("Ñ-12"),
                 "connected mnt/PB632 - mnt/PB632/system/explorer-3/explorer-3.db /dev/sdb root");
        const std::weak_ptr<Reader> attached = rig->registry->findReader("Ñ-12");
        // Still there: nothing changes, nothing is announced.
        QVERIFY(scan().isEmpty());

        rig->unplugAll();
        QCOMPARE(scan(), QStringList{"remove Ñ-12 Lésebuch 📖 mirror=0"});
        QVERIFY(rig->registry->readers.empty() && attached.expired());

        rig->plug("Ñ-12", "/dev/sdb", tree.root(), "Lésebuch 📖");
        QCOMPARE(scan(), added);
        // A reader knows itself gone as soon as its mount point is.
        const std::shared_ptr<Reader> back = rig->registry->findReader("Ñ-12");
        QVERIFY(back->isConnected());
        fs::remove_all(tree.root());
        QVERIFY(!back->isConnected() && !back->connected);
    }

    void scan_mainAndCard()
    {
        const fixture::ReaderTree main = rig->mainMemory("mnt/PB632");
        fixture::ReaderTree card(rig->at("mnt/SDCARD"));
        card.addProfile("Anna");
        card.addProfile("Ben");
        // The card shows up first, as it can on a real bus; the explorer database tells them apart.
        rig->plug("SN-2", "/dev/sdc1", card.root(), "SDCARD", "0:1");
        rig->plug("SN-2", "/dev/sdb", main.root());
        rig->plug("B", "/dev/sdd", rig->mainMemory("mnt/B").root(), "Other");
        // The scan runs on a worker thread; the window gets its events queued, in their order.
        std::thread([this] { rig->registry->device_scan(true); }).join();
        QCOMPARE(rig->take(), (QStringList{"card SN-2", "main SN-2 PB632 virtual=0 synced=0",
                                           "main B Other virtual=0 synced=0"}));
        QCOMPARE(describe("SN-2"), "connected mnt/PB632 mnt/SDCARD "
                                   "mnt/PB632/system/explorer-3/explorer-3.db /dev/sdb "
                                   "Anna@card Ben@card root");

        // Each reader leaves once, however often it is removed.
        rig->registry->removeReader("SN-2", {}, false);
        rig->registry->removeReader("SN-2", {}, false);
        QVERIFY(rig->registry->removeAllReaders() && rig->registry->removeAllReaders());
        QCOMPARE(rig->take(),
                 (QStringList{"remove SN-2 PB632 mirror=0", "remove B Other mirror=0"}));
    }

    void scan_oneDevice_data()
    {
        QTest::addColumn<int>("change");        // to the reader's udev device
        QTest::addColumn<int>("mountedAtWait"); // 0: at once; -1: never
        QTest::addColumn<int>("waits");
        QTest::addColumn<QStringList>("events");
        int row = 0;
        for (const char *change : {"upper-case vendor", "no label", "no node"})
            QTest::newRow(change) << ++row << 0 << 0 << QStringList();
        QTest::newRow("never mounted") << 0 << -1 << 4 << QStringList{"notmounted SN-4"};
        QTest::newRow("mounted during the second wait")
            << 0 << 2 << 2 << QStringList{"main SN-4 PB632 virtual=0 synced=0"};
    }

    void scan_oneDevice()
    {
        QFETCH(int, change);
        QFETCH(int, mountedAtWait);
        QFETCH(int, waits);
        QFETCH(QStringList, events);
        const fixture::ReaderTree tree = rig->mainMemory("mnt/PB632");
        rig->devices->devices = std::vector<BlockDevice>{pocketBookDevice("SN-4", "/dev/sdb")};
        BlockDevice &d = rig->devices->devices->front();
        const std::function<void()> changes[] = {[] {}, [&] { d.vendorId = "FFFE"; },
                                                 [&] { d.fsLabel.reset(); },
                                                 [&] { d.devName.reset(); }};
        changes[change]();
        const auto mount = [&] { rig->mounts->mount("/dev/sdb", tree.root(), "PB632"); };
        if (mountedAtWait > 0)
            rig->mounts->onWait(mountedAtWait, mount);
        else if (mountedAtWait != -1)
            mount();
        QCOMPARE(scan(true), events);
        QCOMPARE(rig->mounts->waits, waits);
        QCOMPARE(rig->registry->readers.size(), size_t(events.filter("main").size()));
    }

    void remembered_attachedUnpluggedDropped()
    {
        const fixture::ReaderTree tree = rig->mainMemory("mnt/PB632");
        const fixture::ReaderTree mirror = rig->rememberWithMirror("SN-9", "PB632");
        rig->plug("SN-9", "/dev/sdb", tree.root());
        QCOMPARE(scan(true), (QStringList{"main SN-9 PB632 virtual=1 synced=0",
                                          "main SN-9 PB632 virtual=0 synced=1"}));
        QCOMPARE(describe("SN-9"),
                 "connected mnt/PB632 - "
                 "mnt/PB632/system/explorer-3/explorer-3.db /dev/sdb root root@mirror");

        // Unplugged, the reader stays with its mirror alone.
        rig->unplugAll();
        QCOMPARE(scan(), QStringList{"remove SN-9 PB632 mirror=1"});
        QCOMPARE(describe("SN-9"), "unplugged - - - - root@mirror");
        QVERIFY(scan().isEmpty());

        // Left in the preferences only as entries that cannot be used: dropped.
        rig->writePrefs("[A]\nserial=\nreaderType=1\nvendor=1\n"
                        "[SN-9]\nserial=SN-9\nreaderType=0\nvendor=1\n");
        QCOMPARE(scan(), QStringList{"remove SN-9 PB632 mirror=0"});
        QVERIFY(rig->registry->readers.empty());
        QVERIFY(fs::exists(mirror.root() / "system/config/books.db")); // files stay
    }

    void prefs_otherVendorWithoutDatabases()
    {
        rig->rememberWithMirror("V", "Other make");
        rig->writePrefs("[E]\nserial=E\nreaderType=2\nvendor=1\n"
                        "[V]\nserial=V\nreaderType=1\nvendor=7\nname=Other make\n");
        // E is usable but has no mirror folder: listed, yet nothing is added for it.
        QCOMPARE(rig->registry->scanLocalMirrors(), (std::vector<std::string>{"E", "V"}));
        QCOMPARE(rig->registry->readers.size(), size_t(1));
        QCOMPARE(describe("V"), "unplugged data/V/localdbmirror - - -");
        QVERIFY(rig->registry->findReader("V")->get_profilesIDs().empty());
    }
};

QTEST_GUILESS_MAIN(tst_readerregistry)
#include "tst_readerregistry.moc"
