// The update check: manifest rules on their own, and the window's check against a small
// HTTP server of the test's own on 127.0.0.1. Nothing here reaches the internet.

#include "core/globalsclass.h"
#include "core/settingsstore.h"
#include "mainwindow/mainwindow.h"
#include "mainwindow/updatecheck.h"
#include "readers/gui_msgchannel.h"
#include "readers/readerdata.h"
#include "support/fakeplatform.h"
#include "support/fakeprompts.h"
#include "support/testenv.h"

#include <QAction>
#include <QDateTime>
#include <QNetworkProxy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <filesystem>

namespace fs = std::filesystem;
using namespace updatecheck;

namespace {

/// Answers every request with `response` (raw HTTP).
class ManifestServer : public QObject
{
public:
    QByteArray response;
    int requests = 0;

    ManifestServer()
    {
        m_server.listen(QHostAddress::LocalHost);
        connect(&m_server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *socket = m_server.nextPendingConnection()) {
                ++requests;
                connect(socket, &QTcpSocket::readyRead, socket, [this, socket] {
                    if (socket->readAll().endsWith("\r\n\r\n")) {
                        socket->write(response);
                        socket->disconnectFromHost();
                    }
                });
            }
        });
    }
    quint16 port() const { return m_server.serverPort(); }

private:
    QTcpServer m_server;
};

QByteArray http(int status, const QByteArray &body)
{
    return "HTTP/1.1 " + QByteArray::number(status) +
           " X\r\nContent-Length: " + QByteArray::number(body.size()) +
           "\r\nConnection: close\r\n\r\n" + body;
}

} // namespace

class tst_updatecheck : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QStandardPaths::setTestModeEnabled(true);
        QNetworkProxy::setApplicationProxy(QNetworkProxy::NoProxy);
    }

    void rules_versionUrlAndDueDate()
    {
        // A manifest newer than 1.2.3.4, one not newer, and ones that are no manifest.
        QVERIFY(isNewer(parseManifest("1.2.3.5;").value(), {1, 2, 3, 4}));
        QVERIFY(!isNewer(parseManifest("1.1.9.9;0123456789ab").value(), {1, 2, 3, 4}));
        for (const char *body : {"OK", "999999.0.0.1;", "1.2.3.4", "1.2.3.4;0123456789abc"})
            QVERIFY2(!parseManifest(body), body);
        // Only https, and the test override only for a loopback host.
        const QString site = QStringLiteral("https://marlox.org/v.txt");
        QVERIFY(manifestUrl(QStringLiteral("http://marlox.org/v"), QString()).isEmpty());
        QCOMPARE(manifestUrl(site, QStringLiteral("https://a.example/v")).toString(), site);
        QCOMPARE(manifestUrl(site, QStringLiteral("http://127.0.0.1:80/v")).toString(),
                 QStringLiteral("http://127.0.0.1:80/v"));
        // Interval 2 checks every 28 days, 1 every 14; a clock gone back a day makes it due.
        const qint64 now = 1000 * day;
        QVERIFY(!checkDue(now, now - 20 * day, 2) && checkDue(now, now - 20 * day, 1));
        QVERIFY(!checkDue(now, now + day / 2, 1) && checkDue(now, now + day, 1));
    }

    void init()
    {
        m_root = std::make_unique<QTemporaryDir>();
        m_prompts = std::make_unique<FakePrompts>();
        const fs::path root = m_root->path().toStdString();
        m_globals = std::make_shared<globalsClass>(false, root.string(), (root / "data").string(),
                                                   root / "share", root / "config");
        m_server = std::make_unique<ManifestServer>();
        qputenv(overrideVariable,
                "http://127.0.0.1:" + QByteArray::number(m_server->port()) + "/v.txt");
        // The user chose manual checks: the start-up stays quiet unless a test says otherwise.
        writeSettings("[updates]\nupdateInterval=0\n");
    }
    void cleanup()
    {
        m_window.reset();
        m_prompts.reset();
        qunsetenv(overrideVariable);
    }

    // Each answer is shown once; a second click while a check runs asks nothing more. A
    // failed automatic check is reported and tried again in three days, not in fourteen.
    void check_newerMalformedAndFailed()
    {
        writeSettings("[updates]\nupdateInterval=1\nlastupdate=5\n");
        newWindow();
        const auto check = [this](updateMode mode) {
            m_window->updateCheckMain(mode);
            checkAction()->trigger(); // a second click while the check runs
            if (!QTest::qWaitFor([this] { return checkAction()->isEnabled(); }))
                return QStringLiteral("the check never ended");
            return m_prompts->messages.isEmpty() ? QString()
                                                 : m_prompts->messages.takeFirst().title;
        };
        m_server->response = http(200, "99999.0.0.0;");
        QCOMPARE(check(manual), QStringLiteral("Update found"));
        QCOMPARE(m_prompts->openedUrls.size(), 1); // the website, through the faked handler
        QCOMPARE(m_server->requests, 1);
        m_server->response = http(200, "OK");
        QCOMPARE(check(manual), QStringLiteral("Malformed update manifest"));
        m_server.reset(); // nothing listens on the manifest's port any more
        writeSettings("[updates]\nupdateInterval=1\nlastupdate=5\n");
        const qint64 retry = QDateTime::currentSecsSinceEpoch() - 14 * day + 3 * day;
        QCOMPARE(check(automatic), QStringLiteral("Failed to update Code 1"));
        const auto settings = openIniSettings(m_globals->settingsGeneral);
        QVERIFY(qAbs(readInt64(*settings, settingskeys::lastupdate, 0) - retry) <= 2);
        QVERIFY(m_prompts->messages.isEmpty());
    }

    void startup_firstRun_asksOnceAndChecks()
    {
        m_server->response = http(200, MARLOX_VERSION ";");
        fs::remove(m_globals->settingsGeneral);
        newWindow();
        QTRY_VERIFY(m_server->requests == 1 && checkAction()->isEnabled());
        newWindow(); // the answer is remembered: no second question, no check (just checked)
        QCoreApplication::processEvents();
        QVERIFY(checkAction()->isEnabled()); // no check under way
        QCOMPARE(m_prompts->messages.size(), 1);
        QCOMPARE(m_server->requests, 1);
    }

private:
    void writeSettings(const QByteArray &ini)
    {
        QVERIFY(testenv::writeFile(m_globals->settingsGeneral, ini));
    }
    QAction *checkAction() const
    {
        return m_window->findChild<QAction *>(QStringLiteral("actionCheck_for_Update"));
    }
    void newWindow()
    {
        m_window.reset();
        auto channel = std::make_shared<gui_msgchannel>();
        m_registry = std::make_shared<ReaderData>(
            channel, m_globals, false,
            makeFakePlatform(std::make_shared<FakeBlockDevices>(), std::make_shared<FakeMounts>()));
        m_window = std::make_unique<MainWindow>(m_registry, channel, m_globals, nullptr);
    }

    std::unique_ptr<QTemporaryDir> m_root;
    std::unique_ptr<FakePrompts> m_prompts;
    std::unique_ptr<ManifestServer> m_server;
    std::shared_ptr<globalsClass> m_globals;
    std::shared_ptr<ReaderData> m_registry;
    std::unique_ptr<MainWindow> m_window;
};

QTEST_MAIN(tst_updatecheck)
#include "tst_updatecheck.moc"
