// Readers found when plugged in and dropped when pulled, without F5: the real libudev
// monitor and enumeration over a umockdev test bed (the binary runs with
// libumockdev-preload.so.0, see tests/CMakeLists.txt), a real registry and window, and the
// fake list of mounted volumes.

// Before any Qt header: glib's headers use "signals" as a name, which Qt defines as a macro.
#include <umockdev.h>

#include "core/globalsclass.h"
#include "mainwindow/mainwindow.h"
#include "readerfixture/readerfixture.h"
#include "readers/gui_msgchannel.h"
#include "readers/readerdata.h"
#include "readers/udevblockdevices.h"
#include "readers/udevdevicemonitor.h"
#include "support/fakeplatform.h"

#include <QComboBox>
#include <QTemporaryDir>
#include <QtTest>

class tst_devicemonitor : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QStandardPaths::setTestModeEnabled(true);
        UMockdevTestbed *probe = umockdev_testbed_new();
        const bool mocked = umockdev_in_mock_environment();
        g_object_unref(probe);
        if (!mocked)
            QSKIP("umockdev is not active: run with LD_PRELOAD=libumockdev-preload.so.0");
    }

    void init()
    {
        m_testbed = umockdev_testbed_new();
        m_root = std::make_unique<QTemporaryDir>();
        const std::filesystem::path root = m_root->path().toStdString();
        m_globals = std::make_shared<globalsClass>(false, root.string(), (root / "data").string(),
                                                   root / "share", root / "config");
        m_mounts = std::make_shared<FakeMounts>();
        m_registry = std::make_shared<ReaderData>(
            std::make_shared<gui_msgchannel>(), m_globals, false,
            ReaderPlatform{std::make_shared<UdevBlockDevices>(), m_mounts});
    }

    void cleanup()
    {
        m_window.reset();
        m_registry.reset();
        g_object_unref(m_testbed);
    }

    void plugInAndPull_selectorAndRegistryFollowWithoutRescan()
    {
        // Automatic update checks off: no window of these tests may ask the network.
        fixture::ReaderTree(m_root->path().toStdString())
            .addFile("marlox.conf", "[updates]\nupdateInterval=0\n");
        m_window = std::make_unique<MainWindow>(m_registry, m_registry->msgchannel, m_globals);
        QVERIFY(m_window->startDeviceMonitor(std::make_shared<UdevDeviceMonitor>(), 1));
        auto *selector = m_window->findChild<QComboBox *>(QStringLiteral("device_cbox"));

        fixture::ReaderTree tree(m_root->path().toStdString() + "/media/PB632");
        tree.addExplorerDb();
        tree.addRootProfile();
        m_mounts->mount("/dev/sdx1", tree.root(), "PB632");
        // A reader arrives as its disk and its partition; only the labelled partition counts.
        const QByteArray disk = addDevice("sdx", {"DEVTYPE", "disk"});
        const QByteArray partition = addDevice(
            "sdx1", {"DEVTYPE", "partition", "ID_FS_LABEL", "PB632", "ID_INSTANCE", "0:0"}, disk);
        umockdev_testbed_uevent(m_testbed, disk.constData(), "add");
        umockdev_testbed_uevent(m_testbed, partition.constData(), "add");

        QTRY_COMPARE(selector->count(), 1);
        QCOMPARE(m_window->currentSerial(), QStringLiteral("PB1"));
        QVERIFY(m_registry->findReader("PB1"));

        umockdev_testbed_uevent(m_testbed, partition.constData(), "remove");
        umockdev_testbed_uevent(m_testbed, disk.constData(), "remove");
        umockdev_testbed_remove_device(m_testbed, partition.constData());
        umockdev_testbed_remove_device(m_testbed, disk.constData());
        m_mounts->unmount("/dev/sdx1");

        QTRY_COMPARE(selector->count(), 0);
        QVERIFY(m_registry->readers.empty());
        QVERIFY(m_window->currentSerial().isEmpty());
    }

private:
    // A PocketBook block device with serial PB1 and the extra properties `more` (key, value, ...).
    QByteArray addDevice(const char *name, const QList<QByteArray> &more,
                         const QByteArray &parent = {})
    {
        QList<QByteArray> texts{
            "DEVNAME", "/dev/" + QByteArray(name), "ID_VENDOR_ID", "fffe", "ID_MODEL_ID",
            "fff9",    "ID_SERIAL_SHORT",          "PB1"};
        texts += more;
        std::vector<gchar *> pairs;
        for (QByteArray &text : texts)
            pairs.push_back(text.data());
        pairs.push_back(nullptr);
        gchar *noAttributes[] = {nullptr};
        gchar *syspath = umockdev_testbed_add_devicev(
            m_testbed, "block", name, parent.isEmpty() ? nullptr : parent.constData(), noAttributes,
            pairs.data());
        const QByteArray result(syspath);
        g_free(syspath);
        return result;
    }

    UMockdevTestbed *m_testbed = nullptr;
    std::unique_ptr<QTemporaryDir> m_root;
    std::shared_ptr<globalsClass> m_globals;
    std::shared_ptr<FakeMounts> m_mounts;
    std::shared_ptr<ReaderData> m_registry;
    std::unique_ptr<MainWindow> m_window;
};

QTEST_MAIN(tst_devicemonitor)
#include "tst_devicemonitor.moc"
