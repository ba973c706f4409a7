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

// One device record of the udev database: system path below the controller, node, type,
// properties and major:minor.
QByteArray udevDevice(const QByteArray &path, const QByteArray &node, const char *devtype,
                      const QByteArrayList &properties, int minor, int major = 8)
{
    QByteArray record = "P: /devices/pci0000:00/" + path + "\nN: " + node + "\nE: DEVNAME=/dev/" +
                        node + "\nE: SUBSYSTEM=block\nE: DEVTYPE=" + devtype + "\n";
    for (const QByteArray &property : properties)
        record += "E: " + property + "\n";
    return record + "A: dev=" + QByteArray::number(major) + ":" + QByteArray::number(minor) + "\n\n";
}

// A PocketBook on USB port 1-1: one mass storage device with two LUNs (main memory, card),
// each a disk without label holding one labelled partition. libudev lists devices by system
// path, so the foreign devices on ports 1-2 to 1-4 come after it, the card reader (0bda) last;
// the internal disk has no vendor id.
QByteArray udevDatabase()
{
    QByteArray db = udevDevice("0000:00:0e.0/nvme/nvme0/nvme0n1/nvme0n1p2", "nvme0n1p2",
                               "partition", {"ID_SERIAL_SHORT=S4EWNX0R1", "ID_FS_LABEL=home"}, 2,
                               259);
    const QByteArray usb = "0000:00:14.0/usb1/1-";
    for (const int lun : {0, 1}) {
        const QByteArray disk = lun == 0 ? "sdx" : "sdy", n = QByteArray::number(lun),
                         path = usb + "1/1-1:1.0/host6/target6:0:0/6:0:0:" + n + "/block/" + disk;
        const QByteArrayList pocketbook{"ID_VENDOR_ID=fffe", "ID_MODEL_ID=fff9",
                                        "ID_SERIAL_SHORT=PB632E2E0001", "ID_INSTANCE=0:" + n};
        db += udevDevice(path, disk, "disk", pocketbook, 16 + 16 * lun) +
              udevDevice(path + "/" + disk + "1", disk + "1", "partition",
                         pocketbook + QByteArrayList{lun == 0 ? "ID_FS_LABEL=PB632"
                                                              : "ID_FS_LABEL=SDCARD"},
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
QStringList namespaceCommand()
{
    return QString("-m -p -f --kill-child --propagation private sh -c").split(' ');
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
        row("one reader", "Creating new reader instance", 1);
        row("explorer database on main memory", "Found explorerDB: %1/system/explorer-3.db", 1);
        // With the root profile present the main memory uses only that one.
        row("root profile", "Found device root profile.", 1);
        row("no named profile of main memory", "Processing profilepath: %1*", 0);
        // Same serial as the main memory: the card joins the reader made for it.
        row("card joins the reader", "Found existing Reader instance", 1);
        row("card profile Alice", "Processing profilepath: " + profiles + "Alice", 1);
        row("card profile Bob", "Processing profilepath: " + profiles + "Bob", 1);
        row("hidden folder not read", "Processing profilepath: " + profiles + ".trash*", 0);
        row("stray file not read", "Processing profilepath: " + profiles + "readme*", 0);
        // Accepted: the reader's two partitions; its disks and the internal disk pass silently.
        row("reader partitions", "Found device with compatible vendor ID and a serial.", 2);
        row("upper-case vendor id", ignored + "FFFE", 1);
        row("nothing else ignored", ignored + "*", 3);
        row("nothing unplugged", "Reader was apparently disconnected*", 0);
    }

    void scan_logsEachFindingOnce()
    {
        QFETCH(QString, message);
        QFETCH(int, expected);
        message.replace("%1", m_mainMount).replace("%2", m_cardMount);
        const bool prefix = message.endsWith('*');
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
        QVERIFY2(!m_standardError.contains("Sanitizer") &&
                     !m_standardError.contains("runtime error:"),
                 context());
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
    const QString unshare = QStandardPaths::findExecutable("unshare"),
                  umockdevRun = QStandardPaths::findExecutable("umockdev-run");
    if (::geteuid() != 0 || unshare.isEmpty() || umockdevRun.isEmpty())
        QSKIP("needs root, unshare (util-linux) and umockdev-run (umockdev)");
    QVERIFY(m_root.isValid());
    const QString root = m_root.path();
    m_mainMount = root + "/media/PB632";
    m_cardMount = root + "/media/SDCARD";
    QVERIFY(QDir(root).mkpath("media/PB632") && QDir(root).mkpath("media/SDCARD"));
    const testenv::RunResult probe =
        testenv::run(unshare, namespaceCommand() << "mount -t tmpfs /dev/sdx1 \"$1\"" << "sh"
                                                 << m_mainMount);
    if (!probe.finished || probe.exitStatus != QProcess::NormalExit || probe.exitCode != 0)
        QSKIP(("cannot mount in new mount and PID namespaces: " + probe.standardError).data());

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

    const QString recordFile = root + "/devices.umockdev", settingsDir = root + "/settings";
    QVERIFY(testenv::writeFile(recordFile.toStdString(), udevDatabase()));
    QVERIFY(QDir(settingsDir).mkpath("data"));

    QProcessEnvironment env = testenv::isolatedEnvironment(root);
    // umockdev-run preloads its library ahead of the sanitizer runtime in the program.
    env.insert("ASAN_OPTIONS", env.value("ASAN_OPTIONS") + ":verify_asan_link_order=0");
    m_program.setProcessEnvironment(env);
    m_program.setWorkingDirectory(root);
    m_program.start(unshare, namespaceCommand()
                                 << mountAndRun << "sh" << m_mainMount << path(trees / "main")
                                 << m_cardMount << path(trees / "card") << umockdevRun << "-d"
                                 << recordFile << "--" << testenv::marloxBinary() << "--debug"
                                 << "--settingsdir" << settingsDir << "--datadir"
                                 << settingsDir + "/data");
    QVERIFY2(m_program.waitForStarted(), qPrintable(m_program.errorString()));

    // The card reader is the last device listed; once it has been judged (the log quotes the
    // id), every other device has been handled.
    m_log = testenv::waitForLog(m_program, root + "/tmp/marlox_debug.log", {"vendorID: \"0bda\""});
    m_messages = logMessages(m_log);
    m_runningAfterScan = m_program.state() == QProcess::Running;
    stopNamespace(m_program);
    m_standardError = m_program.readAllStandardError();
    QVERIFY2(m_messages.contains("Ignoring unsupported USB device with vendorID: 0bda"),
             "the scan did not get through every device\n" + context());
}

QTEST_GUILESS_MAIN(tst_detection_e2e)
#include "tst_detection_e2e.moc"
