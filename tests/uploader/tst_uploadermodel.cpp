// The table of files to send, under QAbstractItemModelTester: which cells can be ticked,
// what ticking changes, and the shared "Delete?" of one archive's entries.

#include "uploader/uploadermodel.h"

#include <QAbstractItemModelTester>
#include <QColor>
#include <QTemporaryDir>
#include <QtTest>

#include <filesystem>
#include <vector>

namespace fs = std::filesystem;

class tst_uploadermodel : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    std::vector<UploadItem> m_items;

    fs::path mainPath() const { return fs::path(m_dir.path().toStdString()); }
    void addItem(int zipIndex, const std::string &source, const std::string &archive = {})
    {
        UploadItem item = UploadItem::create(zipIndex, source, archive);
        if (item.allowedMain)
            item.setRoot(mainPath());
        m_items.push_back(item);
    }
    static bool enabled(const QAbstractItemModel &model, int row, int column)
    {
        return model.flags(model.index(row, column)).testFlag(Qt::ItemIsEnabled);
    }

private slots:
    void init()
    {
        m_items.clear();
        addItem(-1, "/pc/book.epub");       // 0: refused
        addItem(-1, "/pc/serif.ttf");       // 1: font, may not go to a card
        addItem(0, "a.dic", "/pc/d.zip");   // 2 and 3: one archive
        addItem(1, "b.acsm", "/pc/d.zip");
        addItem(0, "c.acsm", "/pc/e.zip");  // 4: another archive
    }

    void refusedKind_hasNoFlags()
    {
        uploaderModel model(m_items, mainPath(), "/card");
        QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
        for (int column = 0; column < model.columnCount(); ++column)
            QCOMPARE(model.flags(model.index(0, column)), Qt::NoItemFlags);
        QCOMPARE(model.data(model.index(2, uploaderModel::colDelete)).toString(), QStringLiteral("ZIP"));
    }

    void cardColumn_enabledOnlyWithCardAndAllowedKind_data()
    {
        QTest::addColumn<QString>("card");
        QTest::addColumn<int>("row");
        QTest::addColumn<bool>("enabled");
        QTest::newRow("dict with card") << "/card" << 2 << true;
        QTest::newRow("font with card") << "/card" << 1 << false;
        QTest::newRow("dict without card") << "" << 2 << false;
    }
    void cardColumn_enabledOnlyWithCardAndAllowedKind()
    {
        QFETCH(QString, card);
        QFETCH(int, row);
        QFETCH(bool, enabled);
        uploaderModel model(m_items, mainPath(), card.toStdString());
        QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
        const QModelIndex cell = model.index(row, uploaderModel::colCard);
        QCOMPARE(model.flags(cell).testFlag(Qt::ItemIsEnabled), enabled);
        QVERIFY(model.flags(cell).testFlag(Qt::ItemIsUserCheckable));
    }

    void deleteOnZipEntry_ticksWholeArchiveOnly()
    {
        uploaderModel model(m_items, mainPath(), {});
        QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
        QSignalSpy changed(&model, &QAbstractItemModel::dataChanged);
        model.setData(model.index(3, uploaderModel::colDelete), Qt::Checked, Qt::CheckStateRole);
        QVERIFY(m_items[2].deleteSource && m_items[3].deleteSource);
        QVERIFY(!m_items[4].deleteSource && !m_items[1].deleteSource);
        QCOMPARE(changed.size(), 2);
        QCOMPARE(model.data(model.index(2, uploaderModel::colDelete), Qt::BackgroundRole).value<QColor>(),
                 QColor(Qt::red));
    }

    void untickCopy_disablesDelete_andClearsWarning()
    {
        UploadItem existing = UploadItem::create(-1, "/pc/x.pbi");
        QFile(m_dir.filePath(QStringLiteral("x.pbi"))).open(QIODevice::WriteOnly);
        existing.setRoot(mainPath());
        QVERIFY(existing.destinationExists);
        m_items.push_back(existing);
        const int row = 5;
        uploaderModel model(m_items, mainPath(), {});
        QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
        QCOMPARE(model.data(model.index(row, uploaderModel::colInfo), Qt::BackgroundRole).value<QColor>(),
                 QColor(Qt::yellow));
        QVERIFY(enabled(model, row, uploaderModel::colDelete));
        model.setData(model.index(row, uploaderModel::colCopy), Qt::Unchecked, Qt::CheckStateRole);
        QVERIFY(!enabled(model, row, uploaderModel::colDelete));
        QVERIFY(!enabled(model, row, uploaderModel::colDestination));
        QCOMPARE(model.data(model.index(row, uploaderModel::colInfo), Qt::BackgroundRole).value<QColor>(),
                 QColor(Qt::transparent));
    }
};

QTEST_GUILESS_MAIN(tst_uploadermodel)
#include "tst_uploadermodel.moc"
