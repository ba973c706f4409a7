// The real libudev reader against fake devices in a umockdev test bed. The binary runs with
// libumockdev-preload.so.0 preloaded (see tests/CMakeLists.txt), which redirects /sys and /dev
// into the test bed. The list of mounted volumes is read by the start-up scan test, on mounts
// of its own.

// Before any Qt header: glib's headers use "signals" as a name, which Qt defines as a macro.
#include <umockdev.h>

#include "readers/udevblockdevices.h"

#include <QtTest>

#include <algorithm>

namespace {

// The properties udev holds, as "KEY=value"; a property that is missing is left out, so an
// empty value and no value at all stay apart.
QStringList describe(const BlockDevice &device)
{
    const std::pair<const char *, const std::optional<std::string> &> properties[] = {
        {"ID_VENDOR_ID", device.vendorId},  {"ID_MODEL_ID", device.modelId},
        {"ID_SERIAL_SHORT", device.serial}, {"ID_FS_LABEL", device.fsLabel},
        {"DEVNAME", device.devName},        {"ID_INSTANCE", device.instance}};
    QStringList held;
    for (const auto &[key, value] : properties)
        if (value)
            held << QString::fromUtf8(key) + '=' + QString::fromStdString(*value);
    return held;
}

} // namespace

class tst_udevblockdevices : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        UMockdevTestbed *probe = umockdev_testbed_new();
        // umockdev_in_mock_environment() keeps its first answer, which is "no" until a test
        // bed exists. Without the preload the host's own devices would be read instead.
        const bool mocked = umockdev_in_mock_environment();
        g_object_unref(probe);
        if (!mocked)
            QSKIP("umockdev is not active: run with LD_PRELOAD=libumockdev-preload.so.0 "
                  "or through umockdev-wrapper (Debian package umockdev)");
    }

    void init() { m_testbed = umockdev_testbed_new(); }

    void cleanup()
    {
        g_object_unref(m_testbed);
        m_testbed = nullptr;
    }

    // Only block devices, disks and partitions alike, each once with its properties as udev
    // holds them; a second call of the same source sees the devices added since the first.
    void blockDevices_listedOnceAsUdevHoldsThem()
    {
        UdevBlockDevices source;
        QVERIFY(!source.blockDevices()); // an empty system: no list
        addDevice("block", "sda", {"DEVNAME=/dev/sda"});
        QCOMPARE(source.blockDevices()->size(), size_t(1));
        const QList<QStringList> block{
            {"DEVNAME=/dev/sda"},
            {"ID_FS_LABEL=root", "DEVNAME=/dev/sda1"},
            {"ID_VENDOR_ID=fffe", "ID_MODEL_ID=fff9", "ID_SERIAL_SHORT=PB632A1B2C3",
             "ID_FS_LABEL=PB632", "DEVNAME=/dev/sdb", "ID_INSTANCE=0:0"},
            // A set but empty property is not a missing one.
            {"ID_VENDOR_ID=fffe", "ID_FS_LABEL=", "DEVNAME=/dev/sdc", "ID_INSTANCE=0:1"},
            // The bytes are UTF-8 and reach the user's screen as the same characters.
            {"ID_VENDOR_ID=fffe", "ID_SERIAL_SHORT=ПБ-№7", "ID_FS_LABEL=Lëser 📚",
             "DEVNAME=/dev/sdd"},
            // udev's escaped form lives in ID_FS_LABEL_ENC; ID_FS_LABEL is read as stored.
            {"ID_SERIAL_SHORT= 12 34 ", "ID_FS_LABEL=My\\x20Reader", "DEVNAME=/dev/sde"}};
        addDevice("block", "sda/sda1", block[1]);
        for (const QStringList &device : block.mid(2))
            addDevice("block", device.filter("DEVNAME=")[0].mid(13), device);
        addDevice("usb", "1-1",
                  {"ID_VENDOR_ID=fffe", "ID_SERIAL_SHORT=PB1", "DEVNAME=/dev/bus/usb/001/002"});
        addDevice("tty", "ttyACM0", {"ID_VENDOR_ID=fffe", "DEVNAME=/dev/ttyACM0"});

        const auto devices = source.blockDevices();
        QVERIFY(devices);
        QList<QStringList> listed;
        for (const BlockDevice &device : *devices)
            listed << describe(device);
        std::sort(listed.begin(), listed.end(), [](const QStringList &a, const QStringList &b) {
            return a.filter("DEVNAME=").value(0) < b.filter("DEVNAME=").value(0);
        });
        QCOMPARE(listed, block);
    }

private:
    // A device at /sys/devices/`path` with the udev properties given as "KEY=value".
    void addDevice(const char *subsystem, const QString &path, const QStringList &properties)
    {
        QByteArray record = "P: /devices/" + path.toUtf8() + "\nE: SUBSYSTEM=" + subsystem + "\n";
        for (const QString &property : properties)
            record += "E: " + property.toUtf8() + "\n";
        GError *error = nullptr;
        QVERIFY2(umockdev_testbed_add_from_string(m_testbed, record + "\n", &error),
                 error ? error->message : "");
    }

    UMockdevTestbed *m_testbed = nullptr;
};

QTEST_GUILESS_MAIN(tst_udevblockdevices)
#include "tst_udevblockdevices.moc"
