// The real program's start-up scan against a plugged-in PocketBook: the udev database comes
// from a umockdev test bed, and the reader's volumes are tmpfs mounts in a mount namespace of
// their own whose source names are the device nodes udev reports. Nothing inside the program
// is replaced; the test reads its debug log.

#include "readerfixture/readerfixture.h"
#include "support/testenv.h"

#include <QDir>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <signal.h>
#include <unistd.h>

#include <filesystem>

namespace fs = std::filesystem;

namespace {

// One device record of the udev database: system path below the controller, node, type,
// properties and major:minor.
QByteArray udevDevice(const QByteArray &path, const QByteArray &node, const char *devtype,
                      const QByteArrayList &properties, int minor)
{
    QByteArray record = "P: /devices/pci0000:00/" + path + "\nN: " + node + "\nE: DEVNAME=/dev/" +
                        node + "\nE: SUBSYSTEM=block\nE: DEVTYPE=" + devtype + "\n";
    for (const QByteArray &property : properties)
        record += "E: " + property + "\n";
    return record + "A: dev=8:" + QByteArray::number(minor) + "\n\n";
}

// A PocketBook on USB port 1-1: one mass storage device with two LUNs (main memory, card),
// each a disk without label holding one labelled partition. libudev lists devices by system
// path, so the foreign devices on ports 1-2 to 1-4 come after it, the card reader (0bda) last.
QByteArray udevDatabase()
{
    QByteArray db;
    const QByteArray usb = "0000:00:14.0/usb1/1-";
    for (const int lun : {0, 1}) {
        const QByteArray disk = lun == 0 ? "sdx" : "sdy", n = QByteArray::number(lun),
                         path = usb + "1/1-1:1.0/host6/target6:0:0/6:0:0:" + n + "/block/" + disk;
        const QByteArrayList pocketbook{"ID_VENDOR_ID=fffe", "ID_MODEL_ID=fff9",
                                        "ID_SERIAL_SHORT=PB632E2E0001", "ID_INSTANCE=0:" + n};
        db += udevDevice(path, disk, "disk", pocketbook, 16 + 16 * lun) +
              udevDevice(path + "/" + disk + "1", disk + "1", "partition",
                         pocketbook +
                             QByteArrayList{lun == 0 ? "ID_FS_LABEL=PB632" : "ID_FS_LABEL=SDCARD"},
                         17 + 16 * lun);
    }
    // A stick, an upper-case vendor id (not the reader's), a card reader.
    const QByteArrayList foreign{"0781 STICK", "FFFE PB632", "0bda CAMERA"};
    for (int i = 0; i < foreign.size(); ++i) {
        const QByteArray port = QByteArray::number(i + 2), node = "sd" + QByteArray(1, "zwv"[i]);
        const QByteArrayList id = foreign[i].split(' ');
        db += udevDevice(usb + port + "/1-" + port + ":1.0/host/target/0:0:0:0/block/" + node +
                             "/" + node + "1",
                         node + "1", "partition",
                         {"ID_VENDOR_ID=" + id[0], "ID_MODEL_ID=fff9", "ID_SERIAL_SHORT=X" + port,
                          "ID_FS_LABEL=" + id[1], "ID_INSTANCE=0:0"},
                         49 + 16 * i);
    }
    return db;
}

// Runs inside the new namespaces: "$1" and "$3" become the volumes of /dev/sdx1 and /dev/sdy1
// holding copies of the trees "$2" and "$4"; the rest is the command to run on them.
const char *const mountAndRun = R"(set -e
mount -t tmpfs /dev/sdx1 "$1"
cp -a "$2/." "$1/"
mount -t tmpfs /dev/sdy1 "$3"
cp -a "$4/." "$3/"
shift 4
exec "$@"
)";

// A private mount namespace for the volumes, and a PID namespace so that ending its first
// process ends every process inside, the program too. --kill-child does that should unshare
// itself be killed.
const QStringList namespaceCommand =
    QString("-m -p -f --kill-child --propagation private sh -c").split(' ');

// The findings of the scan in the debug log, sorted, without time and level: every message
// that names a profile, a reader instance, an explorer database, a refused device, a wait
// for a mount or an unplugged reader. Quotes are dropped: qDebug() quotes the strings it is
// given, and where a value sits in a message is what matters here, not how it is quoted.
QStringList findings(const QByteArray &log)
{
    static const QRegularExpression line(QStringLiteral(
        "^\\d\\d:\\d\\d:\\d\\d \\w+: ((?:Processing profilepath|Creating new reader|Found "
        "existing Reader|Found explorerDB|Ignoring unsupported|Got no device name|Reader was "
        "apparently).*)$"));
    QStringList found;
    for (const QString &text : QString::fromUtf8(log).split(QLatin1Char('\n'))) {
        const QRegularExpressionMatch match = line.match(text);
        if (match.hasMatch())
            found << match.captured(1).remove(QLatin1Char('"'));
    }
    found.sort();
    return found;
}

// Kills the namespace's first process, which takes every process inside with it, and lets
// unshare reap it: killing unshare first would leave that process a zombie for init to reap.
void stopNamespace(QProcess &unshare)
{
    if (unshare.state() == QProcess::NotRunning)
        return;
    const QString pid = QString::number(unshare.processId());
    const QByteArray children =
        testenv::readFile(QStringLiteral("/proc/%1/task/%1/children").arg(pid).toStdString());
    for (const QByteArray &child : children.split(' '))
        if (const int childPid = child.trimmed().toInt(); childPid > 0)
            ::kill(childPid, SIGKILL);
    if (!unshare.waitForFinished(30000)) {
        unshare.kill();
        unshare.waitForFinished();
    }
}

} // namespace

class tst_detection_e2e : public QObject
{
    Q_OBJECT

    QTemporaryDir m_root;
    QProcess m_program;

private slots:
    void cleanupTestCase() { stopNamespace(m_program); }

    // One reader whose card joins it, the explorer database and the card's two profiles (the
    // main memory uses its root profile only), three foreign devices refused, the upper-case
    // vendor id among them, no wait for a mount; nothing more.
    void startUpScan_findsTheReaderAndItsCardOnRealMounts()
    {
        const QString unshare = QStandardPaths::findExecutable("unshare"),
                      umockdevRun = QStandardPaths::findExecutable("umockdev-run");
        if (::geteuid() != 0 || unshare.isEmpty() || umockdevRun.isEmpty())
            QSKIP("needs root, unshare (util-linux) and umockdev-run (umockdev)");
        QVERIFY(m_root.isValid());
        const QString root = m_root.path(), mainMount = root + "/media/PB632",
                      cardMount = root + "/media/SDCARD";
        QVERIFY(QDir(root).mkpath("media/PB632") && QDir(root).mkpath("media/SDCARD"));
        const testenv::RunResult probe =
            testenv::run(unshare, QStringList(namespaceCommand) << "mount -t tmpfs /dev/sdx1 \"$1\""
                                                                << "sh" << mainMount);
        if (!probe.finished || probe.exitStatus != QProcess::NormalExit || probe.exitCode != 0)
            QSKIP(("cannot mount in new mount and PID namespaces: " + probe.standardError).data());

        // The main memory also holds a named profile: with the root profile present the device
        // uses only that one. The card holds a root profile folder, which a card never has in
        // use, beside its two profiles.
        const fs::path trees = root.toStdString() + "/trees";
        fixture::ReaderTree mainMemory(trees / "main");
        mainMemory.addExplorerDb(fixture::ExplorerLayout::InSystem3, {{1, "default"}, {2, "Bob"}});
        mainMemory.addRootProfile();
        mainMemory.addProfile("Bob");
        fixture::ReaderTree card(trees / "card");
        card.addRootProfile();
        card.addProfile("Alice");
        card.addProfile("Bob");

        const QString recordFile = root + "/devices.umockdev", settingsDir = root + "/settings";
        QVERIFY(testenv::writeFile(recordFile.toStdString(), udevDatabase()));
        QVERIFY(QDir(settingsDir).mkpath("data"));
        QProcessEnvironment env = testenv::isolatedEnvironment(root);
        // umockdev-run preloads its library ahead of the sanitizer runtime in the program.
        env.insert("ASAN_OPTIONS", env.value("ASAN_OPTIONS") + ":verify_asan_link_order=0");
        m_program.setProcessEnvironment(env);
        m_program.setWorkingDirectory(root);
        m_program.start(
            unshare, QStringList(namespaceCommand)
                         << mountAndRun << "sh" << mainMount
                         << QString::fromStdString((trees / "main").string()) << cardMount
                         << QString::fromStdString((trees / "card").string()) << umockdevRun << "-d"
                         << recordFile << "--" << testenv::marloxBinary() << "--debug"
                         << "--settingsdir" << settingsDir << "--datadir" << settingsDir + "/data");
        QVERIFY2(m_program.waitForStarted(), qPrintable(m_program.errorString()));

        // The card reader is the last device listed; once it has been judged (the log quotes
        // the id), every other device has been handled.
        const QByteArray log =
            testenv::waitForLog(m_program, root + "/tmp/marlox_debug.log", {"vendorID: \"0bda\""});
        const bool runningAfterScan = m_program.state() == QProcess::Running;
        stopNamespace(m_program);
        const QByteArray context =
            "--- debug log:\n" + log + "--- standard error:\n" + m_program.readAllStandardError();
        QVERIFY2(runningAfterScan, context);
        QVERIFY2(!context.contains("Sanitizer") && !context.contains("runtime error:"), context);
        const QString profiles = cardMount + "/system/profiles/";
        QStringList expected{"Creating new reader instance", "Found existing Reader instance",
                             "Found explorerDB: " + mainMount + "/system/explorer-3.db",
                             "Processing profilepath: " + profiles + "Alice",
                             "Processing profilepath: " + profiles + "Bob"};
        for (const char *vendor : {"0781", "0bda", "FFFE"})
            expected << QStringLiteral("Ignoring unsupported USB device with vendorID: ") + vendor;
        expected.sort();
        QVERIFY2(findings(log) == expected, context);
    }
};

QTEST_GUILESS_MAIN(tst_detection_e2e)
#include "tst_detection_e2e.moc"
