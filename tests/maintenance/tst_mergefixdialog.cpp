#include "core/globalsclass.h"
#include "maintenance/checkdbtool.h"
#include "maintenance/mergefixannotationsdialog.h"
#include "readerfixture/readerfixture.h"
#include "readers/reader.h"
#include "support/dbpeek.h"
#include "support/fakeprompts.h"
#include "support/testhelpers.h"

#include <QDirIterator>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeWidget>

#include <memory>

namespace fs = std::filesystem;
using dbpeek::checksum;
using dbpeek::childrenOf;

class tst_mergefixdialog : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_dir;
    fs::path m_base;
    std::shared_ptr<globalsClass> m_globals;
    std::shared_ptr<Reader> m_reader;
    fs::path m_mainDb, m_cardDb;

    // Ticks the top item of the profile with this number ("0" main, "1" card), or all.
    void tick(mergeFixAnnotationsDialog &dialog, const QString &profile = {})
    {
        for (int i = 0; i < dialog.tree()->topLevelItemCount(); ++i) {
            QTreeWidgetItem *top = dialog.tree()->topLevelItem(i);
            if (profile.isEmpty() || top->text(4) == profile)
                top->setCheckState(0, Qt::Checked);
        }
    }

private slots:
    // The same books with the same ids in main memory and on the card: "Dune" 10 (2
    // annotations), 20 (none), 30 (kept); two blank books with one annotation each.
    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        m_base = m_dir->path().toStdString();
        m_globals = std::make_shared<globalsClass>(false, (m_base / "config").string(),
                                                   (m_base / "data").string(), m_base / "share",
                                                   m_base / "xdg");
        m_reader = std::make_shared<Reader>(DetectionRecord{});
        m_reader->serial = "PB1";
        m_reader->connected = true;
        m_reader->mainpath = m_base / "main";
        m_reader->cardpath = m_base / "card";
        for (const fs::path &mount : {m_reader->mainpath, m_reader->cardpath}) {
            ProfileInfo profile;
            profile.dbPathRelative = "system/config/books.db";
            profile.dbPath = mount / profile.dbPathRelative;
            profile.onCard = mount == m_reader->cardpath;
            fixture::BooksDb db(profile.dbPath);
            for (int oid : {10, 20, 30, 600, 610})
                db.addBook(oid < 600 ? "Dune" : "", oid < 600 ? "Herbert" : "", oid);
            for (int oid : {10, 10, 600, 610})
                db.addAnnotation(oid);
            m_reader->profiles.push_back(profile);
        }
        m_mainDb = m_reader->profiles[0].dbPath;
        m_cardDb = m_reader->profiles[1].dbPath;
    }

    void accept_movesOnlyTheTickedProfile_afterCopyingIt()
    {
        FakePrompts prompts;
        const QByteArray mainBefore = checksum(m_mainDb), cardBefore = checksum(m_cardDb);
        mergeFixAnnotationsDialog dialog(m_reader, m_globals);
        QCOMPARE(dialog.tree()->topLevelItemCount(), 2); // "Dune" per profile, no blank set
        tick(dialog, QStringLiteral("1"));
        QCOMPARE(dialog.tree()->topLevelItem(1)->child(0)->flags(),
                 Qt::NoItemFlags); // 20: nothing to move
        dialog.accept();

        QCOMPARE(dialog.result().rowsChanged, 2);
        QCOMPARE(childrenOf(m_cardDb, 30), 2);
        QCOMPARE(checksum(m_mainDb), mainBefore);
        QCOMPARE(prompts.messages.size(), 1);
        // The card's database as it was before the write, kept in a folder of the run that
        // the box names.
        QDirIterator it(QString::fromStdString((m_base / "data/PB1/mergefixbackup").string()),
                        {QStringLiteral("books.db")}, QDir::Files, QDirIterator::Subdirectories);
        const QString copy = it.next(); // empty when there is none
        QCOMPARE(checksum(copy.toStdString()), cardBefore);
        QVERIFY(copy.contains(QStringLiteral("/card/system/config/")) &&
                prompts.messages[0].details.contains(QFileInfo(copy).path()));
    }

    void accept_cardUnusable_writesNothingThere_data()
    {
        QTest::addColumn<int>("how");
        QTest::addColumn<QString>("details"); // of the box that tells of errors; empty: none
        QTest::newRow("reader unplugged") << 0 << QString();
        QTest::newRow("card removed") << 1 << QStringLiteral("/card/system/config/books.db");
        QTest::newRow("card database unreadable") << 2 << QStringLiteral("Inspection failed");
    }
    void accept_cardUnusable_writesNothingThere()
    {
        QFETCH(int, how);
        QFETCH(QString, details);
        FakePrompts prompts;
        if (how == 2) {
            testhelpers::writeBrokenDatabase(m_cardDb, testhelpers::BrokenDb::NotSqlite);
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("ERROR: ")));
        }
        const QByteArray cardBefore = checksum(m_cardDb);
        mergeFixAnnotationsDialog dialog(m_reader, m_globals);
        tick(dialog);
        if (how == 1)
            m_reader->cardpath = m_base / "nocard";
        m_reader->connected = how != 0;
        dialog.accept();
        QCOMPARE(checksum(m_cardDb), cardBefore);
        QCOMPARE(childrenOf(m_mainDb, 30), how == 0 ? 0 : 2);
        if (!details.isEmpty())
            QVERIFY(prompts.messages[0].text.contains(QStringLiteral("There were errors")) &&
                    prompts.messages[0].details.contains(details));
    }

    void checkDbTool_damagedMirrorCopy_blamesLocalOnly()
    {
        FakePrompts prompts;
        m_reader->readertype = readertype_localmirror;
        m_reader->db_main_relative = "system/explorer-3/explorer-3.db";
        m_reader->db_main = m_reader->mainpath / m_reader->db_main_relative;
        fixture::ExplorerDb(m_reader->db_main).addProfile(1, "default");
        const fs::path mirror = m_base / "data/PB1/localdbmirror" / m_reader->db_main_relative;
        testhelpers::writeBrokenDatabase(mirror, testhelpers::BrokenDb::DamagedPage);
        const QByteArray before = checksum(m_reader->db_main) + checksum(m_mainDb);

        runCheckDbTool(m_reader, m_globals, nullptr);
        QCOMPARE(prompts.messages.size(), 1);
        QVERIFY2(prompts.messages[0].text.contains(
                     QStringLiteral("Errors were found (Device: 0; Local: ")),
                 qPrintable(prompts.messages[0].text));
        QCOMPARE(prompts.messages[0].details.count(QStringLiteral("Checking ")), 4);
        QCOMPARE(checksum(m_reader->db_main) + checksum(m_mainDb), before);
    }
};

QTEST_MAIN(tst_mergefixdialog)
#include "tst_mergefixdialog.moc"
