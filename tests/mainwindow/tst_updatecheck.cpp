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

    void check_replies_data()
    {
        QTest::addColumn<QByteArray>("response"); // "closed": no server
        QTest::addColumn<int>("mode");
        QTest::addColumn<QString>("box");            // empty: no box
        QTest::addColumn<qint64>("lastupdateShift"); // stored = now + shift; 1: untouched
        const auto row = [](const char *name, const QByteArray &response, updateMode mode,
                            const char *box, qint64 shift) {
            QTest::newRow(name) << response << int(mode) << QString::fromLatin1(box) << shift;
        };
        const qint64 retry = -14 * day + 3 * day; // interval 1 is 14 days: again in three
        row("newer", http(200, "99999.0.0.0;"), manual, "Update found", 0);
        row("same, automatic", http(200, MARLOX_VERSION ";"), automatic, "", 0);
        row("not a manifest", http(200, "OK"), manual, "Malformed update manifest", 1);
        row("closed port", "closed", automatic, "Failed to update Code 1", retry);
    }
    void check_replies()
    {
        QFETCH(QByteArray, response);
        QFETCH(int, mode);
        QFETCH(QString, box);
        QFETCH(qint64, lastupdateShift);
        m_server->response = response;
        if (response == "closed") {
            QTcpServer probe;
            QVERIFY(probe.listen(QHostAddress::LocalHost));
            qputenv(overrideVariable, "http://127.0.0.1:" + QByteArray::number(probe.serverPort()));
        }
        writeSettings("[updates]\nupdateInterval=1\nlastupdate=5\n");
        newWindow();
        const qint64 before = QDateTime::currentSecsSinceEpoch();
        m_window->updateCheckMain(updateMode(mode));
        QVERIFY(!checkAction()->isEnabled());
        checkAction()->trigger(); // a second click while the check runs
        QTRY_VERIFY(checkAction()->isEnabled());
        const qint64 after = QDateTime::currentSecsSinceEpoch();

        QCOMPARE(m_server->requests, response == "closed" ? 0 : 1);
        QCOMPARE(m_prompts->messages.size(), box.isEmpty() ? 0 : 1);
        if (!box.isEmpty())
            QCOMPARE(m_prompts->messages.last().title, box);
        // A newer version opens the website through the desktop's handler (faked here).
        QCOMPARE(m_prompts->openedUrls.size(), box == QLatin1String("Update found") ? 1 : 0);
        const qint64 stored = lastupdate();
        if (lastupdateShift == 1) {
            QCOMPARE(stored, qint64(5));
        } else {
            QVERIFY2(stored >= before + lastupdateShift && stored <= after + lastupdateShift,
                     qPrintable(QString::number(stored - before)));
        }
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
    qint64 lastupdate() const
    {
        return readInt64(*openIniSettings(m_globals->settingsGeneral), settingskeys::lastupdate,
                         -7);
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
