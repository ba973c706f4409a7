#include "readers/reader.h"
#include "uploader/filecategories.h"

#include <QtTest>

class tst_filecategories : public QObject
{
    Q_OBJECT

private slots:
    void kindOfName_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("kind");
        QTest::newRow("upper-case font") << "/x/DejaVu.TTF" << int(filekind_font);
        QTest::newRow("collection font") << "Noto.TtC" << int(filekind_font);
        QTest::newRow("upper-case book") << "Dune.EPUB" << int(filekind_epub);
        QTest::newRow("text file") << "notes.txt" << int(filekind_unknown);
        QTest::newRow("no extension") << "README" << int(filekind_unknown);
        QTest::newRow("firmware") << "SWUPDATE.BIN" << int(filekind_firmware);
    }
    void kindOfName()
    {
        QFETCH(QString, name);
        QFETCH(int, kind);
        QCOMPARE(int(fileKindOfName(name.toStdString())), kind);
    }

    void destinationFolder_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<int>("storage");
        QTest::addColumn<bool>("absolute");
        QTest::addColumn<QString>("folder");
        QTest::newRow("dictionary on card") << int(filekind_dict) << int(storage_card) << true
                                            << "/media/C/system/dictionaries/";
        QTest::newRow("dictionary on card, relative")
            << int(filekind_dict) << int(storage_card) << false << "system/dictionaries/";
        QTest::newRow("app never on card") << int(filekind_app) << int(storage_card) << true << "";
        QTest::newRow("font in main") << int(filekind_font) << int(storage_main) << true
                                      << "/media/M/system/fonts/";
        QTest::newRow("acsm at the card's root") << int(filekind_acsm) << int(storage_card)
                                                 << false << "";
        QTest::newRow("book nowhere") << int(filekind_pdf) << int(storage_main) << true << "";
        QTest::newRow("unknown storage") << int(filekind_font) << 1 << true << "";
        QTest::newRow("kind beyond the table") << 10 << int(storage_main) << true << "";
    }
    void destinationFolder()
    {
        QFETCH(int, kind);
        QFETCH(int, storage);
        QFETCH(bool, absolute);
        QFETCH(QString, folder);
        DetectionRecord record;
        Reader reader(record);
        reader.mainpath = "/media/M";
        reader.cardpath = "/media/C";
        QCOMPARE(QString::fromStdString(fileDestinationFolder(kind, reader, storage, absolute)),
                 folder);
        QCOMPARE(fileKindAllowed(kind, storage) && fileDestination(kind).allowedMain,
                 !folder.isEmpty() || kind == filekind_acsm);
    }

    void kindName_outsideTable_throws()
    {
        QCOMPARE(QString::fromStdString(fileKindName(filekind_dict)), QStringLiteral("DICT"));
        QVERIFY_EXCEPTION_THROWN(fileKindName(10), std::out_of_range);
    }
};

QTEST_GUILESS_MAIN(tst_filecategories)
#include "tst_filecategories.moc"
