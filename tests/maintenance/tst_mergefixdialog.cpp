#include "core/globalsclass.h"
#include "maintenance/checkdbtool.h"
#include "maintenance/mergefixannotationsdialog.h"
#include "readerfixture/readerfixture.h"
#include "readers/reader.h"
#include "support/fakeprompts.h"

#include <QCryptographicHash>
#include <QRegularExpression>
#include <QDirIterator>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeWidget>

#include <memory>

namespace fs = std::filesystem;

namespace {

QByteArray checksum(const fs::path &path)
{
    QFile file(QString::fromStdString(path.string()));
    return file.open(QIODevice::ReadOnly)
               ? QCryptographicHash::hash(file.readAll(), QCryptographicHash::Sha256)
               : QByteArray();
}

int childrenOf(const fs::path &db, int oid)
{
    int value = -1;
    {
        QSqlDatabase c = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("t"));
        c.setDatabaseName(QString::fromStdString(db.string()));
        QSqlQuery query(c);
        if (c.open() &&
            query.exec(QStringLiteral("SELECT COUNT(*) FROM Items WHERE ParentID = %1").arg(oid)) &&
            query.next())
            value = query.value(0).toInt();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("t"));
    return value;
}

// "Dune" 10 (2 annotations), 20 (none), 30 (kept); two blank books with one annotation each.
void writeBooks(const fs::path &path)
{
    fixture::BooksDb db(path);
    for (int oid : {10, 20, 30})
        db.addBook("Dune", "Herbert", oid);
    db.addAnnotation(10);
    db.addAnnotation(10);
    for (int oid : {600, 610}) {
        db.addBook("", "", oid);
        db.addAnnotation(oid);
    }
}

ProfileInfo profileAt(const fs::path &mount, const fs::path &relative, bool onCard, bool mirror)
{
    ProfileInfo profile;
    profile.name = onCard ? "card" : "root";
    profile.dbPath = mount / relative;
    profile.dbPathRelative = relative;
    profile.directory = profile.dbPath.parent_path();
    profile.onCard = onCard;
    profile.fromMirror = mirror;
    profile.size = 1;
    return profile;
}

QTreeWidgetItem *topItemOf(QTreeWidget *tree, const QString &profileColumn)
{
    for (int i = 0; i < tree->topLevelItemCount(); ++i) {
        if (tree->topLevelItem(i)->text(4) == profileColumn)
            return tree->topLevelItem(i);
    }
    return nullptr;
}

} // namespace

class tst_mergefixdialog : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_dir;
    fs::path m_base;
    std::shared_ptr<globalsClass> m_globals;
    std::shared_ptr<Reader> m_reader;
    fs::path m_mainDb, m_cardDb;

private slots:
    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        m_base = m_dir->path().toStdString();
        m_globals = std::make_shared<globalsClass>(false, (m_base / "config").string(),
                                                   (m_base / "data").string(), m_base / "share",
                                                   m_base / "xdg");
        DetectionRecord record;
        record.serial = "PB1";
        m_reader = std::make_shared<Reader>(record);
        m_reader->connected = true;
        m_reader->mainpath = m_base / "main";
        m_reader->cardpath = m_base / "card";
        const fs::path relative = "system/config/books.db";
        m_mainDb = m_reader->mainpath / relative;
        m_cardDb = m_reader->cardpath / relative;
        fs::create_directories(m_mainDb.parent_path());
        fs::create_directories(m_cardDb.parent_path());
        writeBooks(m_mainDb);
        writeBooks(m_cardDb);
        m_reader->profiles = {profileAt(m_reader->mainpath, relative, false, false),
                              profileAt(m_reader->cardpath, relative, true, false)};
    }

    void tree_offersNamedSets_disablesEmptyChildren()
    {
        mergeFixAnnotationsDialog dialog(m_reader, m_globals);
        QTreeWidget *tree = dialog.tree();
        QCOMPARE(tree->topLevelItemCount(), 2); // "Dune" per profile; blank books not offered
        QTreeWidgetItem *top = tree->topLevelItem(0);
        QCOMPARE(top->text(3), QStringLiteral("30"));
        QCOMPARE(top->childCount(), 2);
        top->setCheckState(0, Qt::Checked);
        QCOMPARE(top->child(0)->text(3), QStringLiteral("20"));
        QCOMPARE(top->child(0)->flags(), Qt::NoItemFlags);
        QCOMPARE(top->child(0)->checkState(0), Qt::Unchecked);
        QCOMPARE(top->child(1)->checkState(0), Qt::Checked);
    }

    void accept_sameIdsOnCardAndMain_onlyTickedProfileChanges()
    {
        FakePrompts prompts;
        const QByteArray mainBefore = checksum(m_mainDb);
        const QByteArray cardBefore = checksum(m_cardDb);
        mergeFixAnnotationsDialog dialog(m_reader, m_globals);
        topItemOf(dialog.tree(), QStringLiteral("1"))->setCheckState(0, Qt::Checked);
        dialog.accept();

        QCOMPARE(dialog.result().rowsChanged, 2);
        QCOMPARE(childrenOf(m_cardDb, 30), 2);
        QCOMPARE(checksum(m_mainDb), mainBefore);
        QCOMPARE(childrenOf(m_cardDb, 600), 1);
        QCOMPARE(prompts.messages.size(), 1);
        QCOMPARE(prompts.messages[0].title, QStringLiteral("Finished merge/fix annotations"));
        QCOMPARE(prompts.messages[0].text,
                 QStringLiteral("<p>2 rows changed.<br />Please check details below.</p>"));
        // The card's database as it was before the write, kept in a folder of the run.
        QDirIterator it(QString::fromStdString((m_base / "data" / "PB1" / "mergefixbackup").string()),
                        {QStringLiteral("books.db")}, QDir::Files, QDirIterator::Subdirectories);
        QVERIFY(it.hasNext());
        const QString copy = it.next();
        QVERIFY(copy.contains(QStringLiteral("/card/system/config/")));
        QCOMPARE(checksum(copy.toStdString()), cardBefore);
        QVERIFY(prompts.messages[0].details.contains(QFileInfo(copy).path()));
    }

    void accept_readerGone_writesNothing_data()
    {
        QTest::addColumn<bool>("cardGone");
        QTest::newRow("reader unplugged") << false;
        QTest::newRow("card removed") << true;
    }
    void accept_readerGone_writesNothing()
    {
        QFETCH(bool, cardGone);
        FakePrompts prompts;
        const QByteArray cardBefore = checksum(m_cardDb);
        mergeFixAnnotationsDialog dialog(m_reader, m_globals);
        for (int i = 0; i < dialog.tree()->topLevelItemCount(); ++i)
            dialog.tree()->topLevelItem(i)->setCheckState(0, Qt::Checked);
        if (cardGone)
            m_reader->cardpath = m_base / "nocard";
        else
            m_reader->connected = false;
        dialog.accept();
        QCOMPARE(checksum(m_cardDb), cardBefore);
        if (cardGone) {
            QCOMPARE(childrenOf(m_mainDb, 30), 2);
            QVERIFY(prompts.messages[0].text.startsWith(QStringLiteral("<p><b>There were errors</b>")));
            QVERIFY(prompts.messages[0].details.contains(QString::fromStdString(m_cardDb.string())));
        } else {
            QCOMPARE(prompts.messages[0].title, QStringLiteral("Device is disconnected. Closing."));
            QCOMPARE(childrenOf(m_mainDb, 30), 0);
        }
    }

    void accept_unreadableDatabase_reportsErrors()
    {
        FakePrompts prompts;
        QFile file(QString::fromStdString(m_cardDb.string()));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(QByteArray(4096, '\x7f'));
        file.close();
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("ERROR: ")));
        mergeFixAnnotationsDialog dialog(m_reader, m_globals);
        QCOMPARE(dialog.tree()->topLevelItemCount(), 1);
        dialog.accept();
        QCOMPARE(prompts.messages[0].text,
                 QStringLiteral("<p><b>There were errors</b> (see details below)</p><p>No "
                                "annotations found to merge/fix.</p>"));
        QVERIFY(prompts.messages[0].details.contains(QStringLiteral("! Inspection failed")));
    }

    void checkDbTool_damagedMirrorCopy_blamesLocalOnly()
    {
        FakePrompts prompts;
        m_reader->readertype = readertype_localmirror;
        const fs::path mirror = m_base / "data" / "PB1" / "localdbmirror";
        m_reader->db_main_relative = "system/explorer-3/explorer-3.db";
        m_reader->db_main = m_reader->mainpath / m_reader->db_main_relative;
        { fixture::ExplorerDb explorer(m_reader->db_main); explorer.addProfile(1, "default"); }
        fs::create_directories((mirror / m_reader->db_main_relative).parent_path());
        fs::copy_file(m_reader->db_main, mirror / m_reader->db_main_relative);
        {
            QFile copy(QString::fromStdString((mirror / m_reader->db_main_relative).string()));
            QVERIFY(copy.open(QIODevice::ReadWrite));
            copy.seek(4096 + 8);
            copy.write(QByteArray(2000, '\x21'));
        }
        const QByteArray deviceBefore = checksum(m_reader->db_main);
        const QByteArray profileBefore = checksum(m_mainDb);

        runCheckDbTool(m_reader, m_globals, nullptr);
        QCOMPARE(prompts.messages.size(), 1);
        QCOMPARE(prompts.messages[0].title, QStringLiteral("Finished DB check"));
        QVERIFY2(prompts.messages[0].text.startsWith(
                     QStringLiteral("<b>Errors were found (Device: 0; Local: ")),
                 qPrintable(prompts.messages[0].text));
        QCOMPARE(prompts.messages[0].details.count(QStringLiteral("Checking ")), 4);
        QCOMPARE(checksum(m_reader->db_main), deviceBefore);
        QCOMPARE(checksum(m_mainDb), profileBefore);
    }
};

QTEST_MAIN(tst_mergefixdialog)
#include "tst_mergefixdialog.moc"
