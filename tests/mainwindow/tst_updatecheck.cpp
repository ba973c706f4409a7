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

/// Answers every request with `response` (raw HTTP), or never when that is "silent".
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
                    if (socket->readAll().endsWith("\r\n\r\n") && response != "silent") {
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
    return "HTTP/1.1 " + QByteArray::number(status) + " X\r\nContent-Length: " +
           QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
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

    void parseManifest_strict_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<bool>("valid");
        QTest::newRow("plain") << QByteArray("1.2.3.4;") << true;
        QTest::newRow("five digits") << QByteArray("99999.0.0.1;") << true;
        QTest::newRow("six digits") << QByteArray("999999.0.0.1;") << false;
        QTest::newRow("overflowing") << QByteArray("99999999999.0.0.0;") << false;
        QTest::newRow("words") << QByteArray("OK") << false;
        QTest::newRow("no semicolon") << QByteArray("1.2.3.4") << false;
        QTest::newRow("sign") << QByteArray("-1.2.3.4;") << false;
        QTest::newRow("21 bytes") << QByteArray("1.2.3.4;0123456789abc") << false;
        QTest::newRow("20 bytes") << QByteArray("1.2.3.4;0123456789ab") << true;
    }
    void parseManifest_strict()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(bool, valid);
        QCOMPARE(parseManifest(bytes).has_value(), valid);
    }

    void manifestUrl_httpsOrLoopback_data()
    {
        QTest::addColumn<QString>("configured");
        QTest::addColumn<QString>("override");
        QTest::addColumn<QString>("expected");
        const QString site = QStringLiteral("https://marlox.org/files/marlox/v.txt");
        QTest::newRow("configured https") << site << QString() << site;
        QTest::newRow("http refused") << QStringLiteral("http://marlox.org/v") << QString() << QString();
        QTest::newRow("loopback override") << site << QStringLiteral("http://127.0.0.1:80/v")
                                           << QStringLiteral("http://127.0.0.1:80/v");
        QTest::newRow("remote override ignored") << site << QStringLiteral("https://a.example/v") << site;
    }
    void manifestUrl_httpsOrLoopback()
    {
        QFETCH(QString, configured);
        QFETCH(QString, override);
        QFETCH(QString, expected);
        QCOMPARE(manifestUrl(configured, override).toString(), expected);
    }

    void init()
    {
        m_root = std::make_unique<QTemporaryDir>();
        m_prompts = std::make_unique<FakePrompts>();
        const fs::path root = m_root->path().toStdString();
        m_globals = std::make_shared<globalsClass>(false, root.string(), (root / "data").string(),
                                                   root / "share", root / "config");
        m_server = std::make_unique<ManifestServer>();
        qputenv(overrideVariable, "http://127.0.0.1:" + QByteArray::number(m_server->port()) +
                                      "/files/marlox/version-linux-amd64.txt");
        // The user chose manual checks: the start-up stays quiet unless a test says otherwise.
        writeSettings("[updates]\nupdateInterval=0\n");
    }
    void cleanup()
    {
        m_window.reset();
        m_registry.reset();
        m_server.reset();
        m_prompts.reset();
        m_root.reset();
        qunsetenv(overrideVariable);
    }

    void check_replies_data()
    {
        QTest::addColumn<QByteArray>("response");
        QTest::addColumn<int>("mode");
        QTest::addColumn<QString>("box");           // empty: no box
        QTest::addColumn<qint64>("lastupdateShift"); // stored = now + shift; 1: untouched
        QTest::newRow("newer build") << http(200, "0.9.8.3;") << int(manual)
                               << QStringLiteral("Update found") << qint64(0);
        QTest::newRow("same version, manual") << http(200, "0.9.8.2;") << int(manual)
                                              << QStringLiteral("No update found.") << qint64(0);
        QTest::newRow("same version, automatic")
            << http(200, "0.9.8.2;") << int(automatic) << QString() << qint64(0);
        QTest::newRow("21 bytes") << http(200, "0.9.8.3;0123456789abc") << int(manual)
                                  << QStringLiteral("Malformed update manifest") << qint64(1);
        QTest::newRow("long page, automatic")
            << http(200, QByteArray(100000, 'x')) << int(automatic) << QString()
            << (-14 * day + 3 * day);
        QTest::newRow("non-numeric") << http(200, "OK") << int(manual)
                                     << QStringLiteral("Malformed update manifest") << qint64(1);
        QTest::newRow("404") << http(404, "gone") << int(manual)
                             << QStringLiteral("Update file not found.") << (-14 * day + 7 * day);
        QTest::newRow("500, automatic")
            << http(500, "0.9.8.3;") << int(automatic)
            << QStringLiteral("Failed to update Code 401") << (-14 * day + 3 * day);
        QTest::newRow("closed port, automatic") << QByteArray("closed") << int(automatic)
                                                << QStringLiteral("Failed to update Code 1")
                                                << (-14 * day + 3 * day);
        QTest::newRow("never answers") << QByteArray("silent") << int(manual)
                                       << QStringLiteral("Failed to update Code 5") << qint64(1);
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
        m_window->setUpdateTimeout(response == "silent" ? 300 : updatecheck::requestTimeoutMs);
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
        const qint64 stored = lastupdate();
        if (lastupdateShift == 1) {
            QCOMPARE(stored, qint64(5));
        } else {
            QVERIFY2(stored >= before + lastupdateShift && stored <= after + lastupdateShift,
                     qPrintable(QString::number(stored - before)));
        }
    }

    void startup_interval2CheckedTwentyDaysAgo_sendsNothing()
    {
        const qint64 last = QDateTime::currentSecsSinceEpoch() - 20 * day;
        writeSettings("[updates]\nupdateInterval=2\nlastupdate=" + QByteArray::number(last) + "\n");
        newWindow();
        QCoreApplication::processEvents();
        QVERIFY(checkAction()->isEnabled());
        m_window->updateCheckMain(automatic);
        QVERIFY(checkAction()->isEnabled());
        QCoreApplication::processEvents();
        QCOMPARE(m_server->requests, 0);
        QCOMPARE(lastupdate(), last);
    }

    void startup_firstRun_asksOnceAndChecks()
    {
        m_server->response = http(200, "0.9.8.2;");
        fs::remove(m_globals->settingsGeneral);
        newWindow();
        QTRY_VERIFY(m_server->requests == 1 && checkAction()->isEnabled());
        QCOMPARE(m_prompts->messages.size(), 1);
        QCOMPARE(m_prompts->messages.first().title, QStringLiteral("Allow automatic updates?"));
        QCOMPARE(readSetting(settingskeys::updateInterval), QStringLiteral("1"));

        // The answer is remembered: the next start neither asks nor checks (just checked).
        newWindow();
        QCoreApplication::processEvents();
        QCOMPARE(m_prompts->messages.size(), 1);
        QCOMPARE(m_server->requests, 1);
    }

private:
    void writeSettings(const QByteArray &ini)
    {
        QFile file(QString::fromStdString(m_globals->settingsGeneral.string()));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(ini);
    }
    QString readSetting(const QString &key) const
    {
        return openIniSettings(m_globals->settingsGeneral)->value(key).toString();
    }
    qint64 lastupdate() const
    {
        return readInt64(*openIniSettings(m_globals->settingsGeneral), settingskeys::lastupdate, -7);
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
