// The load dialog and the progress review as the user meets them: real files, the real
// registry, scripted prompts.

#include "backup/dialogtransferprogress.h"
#include "backup/importbackupdialog.h"
#include "readers/readerdata.h"
#include "support/fakeprompts.h"
#include "support/registryrig.h"
#include "support/testenv.h"

#include <QPushButton>
#include <QtTest>

namespace fs = std::filesystem;

class tst_transferdialogs : public QObject
{
    Q_OBJECT

    std::unique_ptr<RegistryRig> m_rig;

    // An explorer database with one book and the given profiles' progress at `page`.
    fs::path explorerWith(const char *folder, const fixture::ProfileRows &profiles, int page)
    {
        fixture::ReaderTree tree(m_rig->at(folder));
        const fs::path path = tree.addExplorerDb(fixture::ExplorerLayout::InSystem3, profiles);
        fixture::ExplorerDb db(path);
        const int64_t book = db.addBook();
        for (const auto &profile : profiles) {
            fixture::ProgressSpec progress;
            progress.profileId = profile.first;
            progress.cpage = page;
            db.addProgress(book, progress);
        }
        return path;
    }

private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }

    void init() { m_rig = std::make_unique<RegistryRig>(); }

    void importDialog_failureStaysOpen_successLoads()
    {
        FakePrompts prompts;
        const fs::path bad = fixture::ReaderTree(m_rig->at("in")).addFile("notes.zip", "text");
        const fs::path good = explorerWith("copy", {{1, "default"}}, 5);
        importbackupDialog dialog(m_rig->registry, m_rig->globals);
        prompts.setNextFileName(QString::fromStdString(bad.string()));
        dialog.findChild<QPushButton *>("filepath_browse")->click();
        dialog.accept();
        QCOMPARE(dialog.result(), int(QDialog::Rejected));
        QVERIFY(prompts.messages.last().text.contains("ZIP Archive open failed"));
        QVERIFY(m_rig->registry->readers.empty());

        prompts.setNextFileName(QString::fromStdString(good.string()));
        dialog.findChild<QPushButton *>("filepath_browse")->click();
        dialog.accept();
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
        QVERIFY(m_rig->registry->findReader(dialog.loadedSerial().toStdString()));
    }

    void review_writesNothing_removesSource()
    {
        FakePrompts prompts;
        const fs::path destinationDb = explorerWith("dest", {{1, "default"}, {2, "Anna"}}, 10);
        const fs::path sourceDb = explorerWith("src", {{1, "default"}, {2, "Anna"}}, 50);
        const QByteArray before = testenv::readFile(destinationDb);

        prompts.setNextFileName(QString::fromStdString(sourceDb.string()));
        const auto [path, source] = loadTransferSource(m_rig->registry, QString(), nullptr);
        QVERIFY(source);
        DetectionRecord record;
        record.serial = "DEST";
        auto destination = std::make_shared<Reader>(record);
        destination->db_main = destinationDb;
        destination->name = "PB632";
        {
            DialogTransferProgress dialog(m_rig->registry, source, destination, {{1, 1}, {2, 2}},
                                          path);
            dialog.accept();
            // The backup's further page is proposed for both profiles of the one book.
            QCOMPARE(prompts.messages.last().text.count("from the backup, page 51/201"), 2);
        }
        QVERIFY(m_rig->registry->readers.empty());
        QCOMPARE(testenv::readFile(destinationDb), before);
    }
};

QTEST_MAIN(tst_transferdialogs)
#include "tst_transferdialogs.moc"
