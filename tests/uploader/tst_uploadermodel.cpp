// The table of files to send, under QAbstractItemModelTester: which cells can be ticked,
// what ticking changes, and the shared "Delete?" of one archive's entries.

#include "uploader/uploadermodel.h"

#include <QAbstractItemModelTester>
#include <QTemporaryDir>
#include <QtTest>

namespace fs = std::filesystem;

class tst_uploadermodel : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    std::vector<UploadItem> m_items;

    static bool enabled(const QAbstractItemModel &model, int row, int column)
    {
        return model.flags(model.index(row, column)).testFlag(Qt::ItemIsEnabled);
    }

private slots:
    void init()
    {
        QFile(m_dir.filePath(QStringLiteral("x.pbi"))).open(QIODevice::WriteOnly);
        for (const auto &[index, source, archive] :
             std::vector<std::tuple<int, std::string, std::string>>{
                 {-1, "/pc/book.epub", ""}, // 0: refused
                 {-1, "/pc/serif.ttf", ""}, // 1: may not go to a card
                 {0, "a.dic", "/pc/d.zip"}, // 2, 3: one archive
                 {1, "b.acsm", "/pc/d.zip"},
                 {0, "c.acsm", "/pc/e.zip"}, // 4: another archive
                 {-1, "/pc/x.pbi", ""}}) {   // 5: already on the reader
            m_items.push_back(UploadItem::create(index, source, archive));
            m_items.back().setRoot(m_dir.path().toStdString());
        }
    }

    void flagsAndDelete_followKindCopyAndArchive()
    {
        uploaderModel model(m_items, m_dir.path().toStdString(), "/card");
        QAbstractItemModelTester tester(&model,
                                        QAbstractItemModelTester::FailureReportingMode::QtTest);
        QCOMPARE(model.flags(model.index(0, uploaderModel::colCopy)), Qt::NoItemFlags);
        QVERIFY(!enabled(model, 1, uploaderModel::colCard));
        // Already on the reader: may be deleted while it is copied, not once unticked.
        QVERIFY(enabled(model, 5, uploaderModel::colDelete));
        model.setData(model.index(5, uploaderModel::colCopy), Qt::Unchecked, Qt::CheckStateRole);
        QVERIFY(!enabled(model, 5, uploaderModel::colDelete));
        // "Delete?" on one entry of an archive ticks its other entries, and nothing else.
        model.setData(model.index(3, uploaderModel::colDelete), Qt::Checked, Qt::CheckStateRole);
        QVERIFY(m_items[2].deleteSource && m_items[3].deleteSource);
        QVERIFY(!m_items[4].deleteSource && !m_items[1].deleteSource);
    }
};

QTEST_GUILESS_MAIN(tst_uploadermodel)
#include "tst_uploadermodel.moc"
