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

#include <algorithm>
#include <filesystem>

namespace fs = std::filesystem;

namespace {

// The reader's main memory and card, as udev describes a PocketBook on a USB port: one mass
// storage device with two LUNs, each a disk with one labelled partition. The disks carry
// the reader's serial but no file-system label. libudev lists devices sorted by system path,
// so the foreign devices under the later ports 1-2 to 1-4 come after the reader, and the
// card reader on 1-4 comes last.
// One device record of the udev database: its system path below the USB controller, node,
// properties and major:minor.
QByteArray udevDevice(const char *path, const char *node, const char *devtype,
                      const QByteArrayList &properties, const char *dev)
{
    QByteArray record = QByteArray("P: /devices/pci0000:00/") + path + "\nN: " + node +
                        "\nE: DEVNAME=/dev/" + node +
                        "\nE: SUBSYSTEM=block\nE: DEVTYPE=" + devtype + "\n";
    for (const QByteArray &property : properties)
        record += "E: " + property + "\n";
    return record + "A: dev=" + dev + "\n\n";
}

QByteArray udevDatabase()
{
    const char *const reader = "0000:00:14.0/usb1/1-1/1-1:1.0/host6/target6:0:0/";
    const QByteArrayList pocketbook{"ID_VENDOR_ID=fffe", "ID_MODEL_ID=fff9",
                                    "ID_SERIAL_SHORT=PB632E2E0001"};
    const auto with = [](QByteArrayList list, const QByteArrayList &more) { return list << more; };
    return udevDevice("0000:00:0e.0/nvme/nvme0/nvme0n1/nvme0n1p2", "nvme0n1p2", "partition",
                      {"ID_MODEL=Samsung SSD 970 EVO Plus 1TB", "ID_SERIAL_SHORT=S4EWNX0R123456",
                       "ID_FS_LABEL=home"},
                      "259:2") +
           udevDevice(QByteArray(reader) + "6:0:0:0/block/sdx", "sdx", "disk",
                      with(pocketbook, {"ID_INSTANCE=0:0"}), "8:16") +
           udevDevice(QByteArray(reader) + "6:0:0:0/block/sdx/sdx1", "sdx1", "partition",
                      with(pocketbook, {"ID_FS_LABEL=PB632", "ID_INSTANCE=0:0"}), "8:17") +
           udevDevice(QByteArray(reader) + "6:0:0:1/block/sdy", "sdy", "disk",
                      with(pocketbook, {"ID_INSTANCE=0:1"}), "8:32") +
           udevDevice(QByteArray(reader) + "6:0:0:1/block/sdy/sdy1", "sdy1", "partition",
                      with(pocketbook, {"ID_FS_LABEL=SDCARD", "ID_INSTANCE=0:1"}), "8:33") +
           udevDevice("0000:00:14.0/usb1/1-2/1-2:1.0/host7/target7:0:0/7:0:0:0/block/sdz/sdz1",
                      "sdz1", "partition",
                      {"ID_VENDOR_ID=0781", "ID_MODEL_ID=5581", "ID_SERIAL_SHORT=4C530001",
                       "ID_FS_LABEL=STICK", "ID_INSTANCE=0:0"},
                      "8:49") +
           udevDevice("0000:00:14.0/usb1/1-3/1-3:1.0/host8/target8:0:0/8:0:0:0/block/sdw/sdw1",
                      "sdw1", "partition",
                      {"ID_VENDOR_ID=FFFE", "ID_MODEL_ID=fff9", "ID_SERIAL_SHORT=PB632UPPER01",
                       "ID_FS_LABEL=PB632", "ID_INSTANCE=0:0"},
                      "8:65") +
           udevDevice("0000:00:14.0/usb1/1-4/1-4:1.0/host9/target9:0:0/9:0:0:0/block/sdv/sdv1",
                      "sdv1", "partition",
                      {"ID_VENDOR_ID=0bda", "ID_MODEL_ID=0109", "ID_SERIAL_SHORT=20120501030900000",
                       "ID_FS_LABEL=CAMERA", "ID_INSTANCE=0:0"},
                      "8:81");
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
QStringList namespaceCommand()
{
    return QStringLiteral("-m -p -f --kill-child --propagation private sh -c")
        .split(QLatin1Char(' '));
}

// The messages of the debug log, one per logged line, without time and level. Quotes are
// dropped: qDebug() quotes the strings it is given, and where a value sits in a message is
// what matters here, not how it is quoted.
QStringList logMessages(const QByteArray &log)
{
    static const QRegularExpression line(
        QStringLiteral("^\\d\\d:\\d\\d:\\d\\d (?:Debug|Warning|Critical|Fatal|Info): (.*)$"));
    QStringList messages;
    for (const QString &text : QString::fromUtf8(log).split(QLatin1Char('\n'))) {
        const QRegularExpressionMatch match = line.match(text);
        if (match.hasMatch())
            messages << match.captured(1).remove(QLatin1Char('"'));
    }
    return messages;
}

QString path(const fs::path &p)
{
    return QString::fromStdString(p.string());
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
    for (const QByteArray &child : children.split(' ')) {
        bool ok = false;
        const int childPid = child.trimmed().toInt(&ok);
        if (ok && childPid > 0)
            ::kill(childPid, SIGKILL);
    }
    if (!unshare.waitForFinished(30000)) {
        unshare.kill();
        unshare.waitForFinished();
    }
}

} // namespace

class tst_detection_e2e : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase() { stopNamespace(m_program); }

    // How often each message of the scan is logged (%1: main memory, %2: card); a message
    // ending in "*" counts every message starting with the rest.
    void scan_logsEachFindingOnce_data()
    {
        QTest::addColumn<QString>("message");
        QTest::addColumn<int>("expected");
        const QString ignored = QStringLiteral("Ignoring unsupported USB device with vendorID: ");
        const QString profiles = QStringLiteral("%2/system/profiles/");
        const auto row = [](const char *name, const QString &message, int expected) {
            QTest::newRow(name) << message << expected;
        };
        // The volume was found by its device node on the first look: no waiting for a mount.
        row("no retry", "Got no device name, retrying...", 0);
        row("no skipped device", "Skipping device (not mounted).*", 0);
        row("one reader", "Creating new reader instance", 1);
        row("explorer database on main memory", "Found explorerDB: %1/system/explorer-3.db", 1);
        row("no explorer database on card", "Found explorerDB: %2*", 0);
        // With the root profile present the main memory uses only that one.
        row("main memory looked at", "Looking at path for profiles: %1 0", 1);
        row("root profile", "Found device root profile.", 1);
        row("no named profile of main memory", "Processing profilepath: %1*", 0);
        row("no profile dropped", "Not adding profile DB*", 0);
        row("profiles found", "Found no profile databases", 0);
        // Same serial as the main memory: the card joins the reader made for it.
        row("card joins the reader", "Found existing Reader instance", 1);
        row("card looked at", "Looking at path for profiles: %2 2", 1);
        row("card profile folder", "Found device profile directory, processing...", 1);
        row("card profile Alice", "Processing profilepath: " + profiles + "Alice", 1);
        row("card profile Bob", "Processing profilepath: " + profiles + "Bob", 1);
        row("hidden folder skipped", "Skipping profilepath: " + profiles + ".trash", 1);
        row("stray file skipped", "Skipping profilepath: " + profiles + "readme.txt", 1);
        row("hidden folder not read", "Processing profilepath: " + profiles + ".trash*", 0);
        // Accepted: the reader's two labelled partitions. Its two disks (no label) and the
        // internal disk (no vendor id) are passed over without a word.
        row("reader partitions", "Found device with compatible vendor ID and a serial.", 2);
        row("stick", ignored + "0781", 1);
        row("upper-case vendor id", ignored + "FFFE", 1);
        row("card reader", ignored + "0bda", 1);
        row("nothing else ignored", ignored + "*", 3);
        // Every accepted serial was reported back to the scan: nothing counts as unplugged.
        row("nothing unplugged", "Reader was apparently disconnected*", 0);
        row("nothing removed", "Removing reader*", 0);
    }

    void scan_logsEachFindingOnce()
    {
        QFETCH(QString, message);
        QFETCH(int, expected);
        message.replace(QLatin1String("%1"), m_mainMount).replace(QLatin1String("%2"), m_cardMount);
        const bool prefix = message.endsWith(QLatin1Char('*'));
        message.chop(prefix ? 1 : 0);
        const auto found =
            std::count_if(m_messages.begin(), m_messages.end(), [&](const QString &m) {
                return prefix ? m.startsWith(message) : m == message;
            });
        QVERIFY2(found == expected, context());
    }

    void program_stillRunningAfterScan_withoutSanitizerReport()
    {
        QVERIFY2(m_runningAfterScan, context());
        QVERIFY2(!m_standardError.contains("Sanitizer"), context());
        QVERIFY2(!m_standardError.contains("runtime error:"), context());
    }

private:
    QByteArray context() const
    {
        return "--- debug log:\n" + m_log + "--- standard error:\n" + m_standardError;
    }

    QTemporaryDir m_root;
    QString m_mainMount;
    QString m_cardMount;
    QProcess m_program;
    QByteArray m_log;
    QStringList m_messages;
    bool m_runningAfterScan = false;
    QByteArray m_standardError;
};

void tst_detection_e2e::initTestCase()
{
    if (::geteuid() != 0)
        QSKIP("needs root: mounts volumes in a private mount namespace");
    const QString unshare = QStandardPaths::findExecutable(QStringLiteral("unshare"));
    if (unshare.isEmpty())
        QSKIP("unshare is not installed (Debian package util-linux)");
    const QString umockdevRun = QStandardPaths::findExecutable(QStringLiteral("umockdev-run"));
    if (umockdevRun.isEmpty())
        QSKIP("umockdev-run is not installed (Debian package umockdev)");
    QVERIFY(m_root.isValid());

    const QString root = m_root.path();
    m_mainMount = root + QStringLiteral("/media/PB632");
    m_cardMount = root + QStringLiteral("/media/SDCARD");
    QVERIFY(QDir(root).mkpath(QStringLiteral("media/PB632")));
    QVERIFY(QDir(root).mkpath(QStringLiteral("media/SDCARD")));

    {
        const testenv::RunResult probe = testenv::run(
            unshare, namespaceCommand() << QStringLiteral("mount -t tmpfs /dev/sdx1 \"$1\"")
                                        << QStringLiteral("sh") << m_mainMount);
        if (!probe.finished || probe.exitStatus != QProcess::NormalExit || probe.exitCode != 0)
            QSKIP(qPrintable(QStringLiteral("cannot mount a volume in new mount and PID "
                                            "namespaces (unshare or mount refused): ") +
                             QString::fromUtf8(probe.standardError.trimmed())));
    }

    // The main memory also holds a named profile: with the root profile present the device
    // uses only that one. The card holds a root profile folder, which a card never has in
    // use, a hidden folder and a stray file beside its two profiles.
    const fs::path trees = root.toStdString() + "/trees";
    fixture::ReaderTree mainMemory(trees / "main");
    mainMemory.addExplorerDb(fixture::ExplorerLayout::InSystem3, {{1, "default"}, {2, "Bob"}});
    mainMemory.addRootProfile();
    mainMemory.addProfile("Bob");
    fixture::ReaderTree card(trees / "card");
    card.addRootProfile();
    card.addProfile("Alice");
    card.addProfile("Bob");
    card.addProfile(".trash");
    card.addFile("system/profiles/readme.txt", "not a profile");

    const QString recordFile = root + QStringLiteral("/devices.umockdev");
    QVERIFY(testenv::writeFile(recordFile.toStdString(), udevDatabase()));

    const QString settingsDir = root + QStringLiteral("/settings");
    QVERIFY(QDir(settingsDir).mkpath(QStringLiteral("data")));

    QProcessEnvironment env = testenv::isolatedEnvironment(root);
    // umockdev-run preloads its library ahead of the sanitizer runtime in the program.
    QStringList asanOptions =
        env.value(QStringLiteral("ASAN_OPTIONS")).split(QLatin1Char(':'), Qt::SkipEmptyParts);
    asanOptions << QStringLiteral("verify_asan_link_order=0");
    env.insert(QStringLiteral("ASAN_OPTIONS"), asanOptions.join(QLatin1Char(':')));

    m_program.setProcessEnvironment(env);
    m_program.setWorkingDirectory(root);
    m_program.start(unshare, namespaceCommand()
                                 << QString::fromUtf8(mountAndRun) << QStringLiteral("sh")
                                 << m_mainMount << path(trees / "main") << m_cardMount
                                 << path(trees / "card") << umockdevRun << QStringLiteral("-d")
                                 << recordFile << QStringLiteral("--") << testenv::marloxBinary()
                                 << QStringLiteral("--debug") << QStringLiteral("--settingsdir")
                                 << settingsDir << QStringLiteral("--datadir")
                                 << settingsDir + QStringLiteral("/data"));
    QVERIFY2(m_program.waitForStarted(), qPrintable(m_program.errorString()));

    // The card reader is the last device listed; once it has been judged, every other device
    // has been handled.
    const QString lastLine = QStringLiteral("Ignoring unsupported USB device with vendorID: 0bda");
    const QString logFile = root + QStringLiteral("/tmp/marlox_debug.log");
    // The log quotes the id.
    m_log = testenv::waitForLog(m_program, logFile, {"vendorID: \"0bda\""});
    m_messages = logMessages(m_log);
    m_runningAfterScan = m_program.state() == QProcess::Running;
    stopNamespace(m_program);
    m_standardError = m_program.readAllStandardError();

    QVERIFY2(m_messages.contains(lastLine),
             qPrintable(QStringLiteral("the scan did not get through every device\n") +
                        QString::fromUtf8(context())));
}

QTEST_GUILESS_MAIN(tst_detection_e2e)
#include "tst_detection_e2e.moc"
