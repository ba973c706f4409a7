#include "core/globalsclass.h"
#include "maintenance/mergefixannotationsdialog.h"
#include "readerfixture/readerfixture.h"
#include "readers/reader.h"
#include "support/dbpeek.h"
#include "support/fakeprompts.h"

#include <QDirIterator>
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
    }

    void accept_writesTickedStillMountedProfiles_afterCopying_data()
    {
        QTest::addColumn<QString>("profile"); // whose sets are ticked ("1" the card); empty: all
        QTest::addColumn<int>("gone");        // 0 nothing, 1 the card, 2 the reader
        QTest::newRow("card ticked") << QStringLiteral("1") << 0;
        QTest::newRow("all ticked, card removed since") << QString() << 1;
        QTest::newRow("all ticked, reader unplugged since") << QString() << 2;
    }
    void accept_writesTickedStillMountedProfiles_afterCopying()
    {
        QFETCH(QString, profile);
        QFETCH(int, gone);
        FakePrompts prompts;
        const fs::path mainDb = m_reader->profiles[0].dbPath, cardDb = m_reader->profiles[1].dbPath;
        const QByteArray mainBefore = checksum(mainDb), cardBefore = checksum(cardDb);
        mergeFixAnnotationsDialog dialog(m_reader, m_globals);
        for (int i = 0; i < dialog.tree()->topLevelItemCount(); ++i) {
            QTreeWidgetItem *top = dialog.tree()->topLevelItem(i);
            if (profile.isEmpty() || top->text(4) == profile)
                top->setCheckState(0, Qt::Checked);
        }
        if (gone == 1)
            m_reader->cardpath = m_base / "nocard";
        m_reader->connected = gone != 2;
        dialog.accept();

        QCOMPARE(childrenOf(cardDb, 30), gone == 0 ? 2 : 0);
        QCOMPARE(childrenOf(mainDb, 30), gone == 1 ? 2 : 0);
        // The database as it was before the write, kept in a folder of the run that the box
        // names; none when nothing was written.
        QDirIterator it(QString::fromStdString((m_base / "data/PB1/mergefixbackup").string()),
                        {QStringLiteral("books.db")}, QDir::Files, QDirIterator::Subdirectories);
        const QString copy = it.next(); // empty when there is none
        QCOMPARE(checksum(copy.toStdString()), gone == 0   ? cardBefore
                                               : gone == 1 ? mainBefore
                                                           : QByteArray());
        QCOMPARE(prompts.messages.size(), 1);
        if (gone < 2)
            QVERIFY(prompts.messages[0].details.contains(QFileInfo(copy).path()));
        if (gone == 1)
            QVERIFY(prompts.messages[0].text.contains(QStringLiteral("There were errors")) &&
                    prompts.messages[0].details.contains("/card/system/config/books.db"));
    }
};

QTEST_MAIN(tst_mergefixdialog)
#include "tst_mergefixdialog.moc"
