// The viewer's table model, its proxy (checked against Qt's own proxy over generated
// readers) and the read-only editor.

#include "support/testhelpers.h"
#include "support/viewerrig.h"
#include "viewer/texteditdelegate.h"

#include <QBrush>
#include <QDateTime>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QSortFilterProxyModel>
#include <QTableView>
#include <QTextEdit>
#include <QtTest>

#include <limits>

namespace {

constexpr qint64 baseTime = 1535639951; // 2018-08-30

// Books 10 (Dune, second in title order) and 20 (Anathem, first); oid 3's book 99 is missing,
// oid 5 is a bookmark. Dates and pages disagree inside Dune: by date 4 comes first, by page 1.
std::shared_ptr<Reader> smallReader()
{
    auto reader = std::make_shared<Reader>(DetectionRecord{});
    reader->books[10] = BookInfo{10, 1, QStringLiteral("Dune"), QStringLiteral("Frank Herbert")};
    reader->books[20] = BookInfo{20, 0, QStringLiteral("Anathem"), QStringLiteral("N. Stephenson")};
    reader->annotations = {
        annotationAt(1, 10, baseTime + 360, 5, "The spice must flow"),
        annotationAt(2, 20, baseTime + 100, 12, "a colour wheel", "British spelling", color_blue),
        annotationAt(3, 99, baseTime + 200, 3, "", "note only", color_orange),
        annotationAt(4, 10, baseTime + 350, 8, "a color wheel", "", color_green),
        annotationAt(5, 20, baseTime + 400, 40, "Bookmark", "", color_none),
    };
    reader->annotations[4].isBookmark = true;
    return reader;
}

QVariant cell(const QAbstractItemModel &model, int row, int column, int role = Qt::DisplayRole)
{
    return model.data(model.index(row, column), role);
}

} // namespace

class tst_annotationtable : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { qRegisterMetaType<QList<QPersistentModelIndex>>(); }

    void cells_data()
    {
        QTest::addColumn<bool>("notesInline");
        QTest::addColumn<int>("row");
        QTest::addColumn<int>("column");
        QTest::addColumn<int>("role");
        QTest::addColumn<QVariant>("expected");
        QTest::addColumn<qint64>("created"); // 0: as made by smallReader()
        const auto row = [](const char *name, bool notesInline, int row, int column, int role,
                            const QVariant &expected, qint64 created = 0) {
            QTest::newRow(name) << notesInline << row << column << role << expected << created;
        };
        const auto text = [](const char *value) { return QVariant(QString::fromUtf8(value)); };
        row("inline note without highlight", true, 2, 4, 0, text("\n\n[note only]"));
        // Else the text search and the export would take the colour letter for a note.
        row("inline: note column empty", true, 1, 5, 0, text(""));
        row("edit: highlight alone", true, 1, 4, Qt::EditRole, text("a colour wheel"));
        row("sort title of a missing book", false, 2, 2, Qt::UserRole, 20000);
        row("unknown colour letter", false, 2, 6, 0, text("?"));
        // English month names whatever the locale (German while reading); no overflow inside Qt
        // for absurd times.
        row("date in English", false, 0, 0, 0, text("5 Mar 2021 09:05"),
            QDateTime(QDate(2021, 3, 5), QTime(9, 5)).toSecsSinceEpoch());
        row("latest time", false, 1, 0, 0, text(""), std::numeric_limits<qint64>::max());
        row("earliest time", false, 2, 0, 0, text(""), std::numeric_limits<qint64>::min());
    }

    void cells()
    {
        QFETCH(bool, notesInline);
        QFETCH(int, row);
        QFETCH(int, column);
        QFETCH(int, role);
        QFETCH(QVariant, expected);
        QFETCH(qint64, created);
        auto reader = smallReader();
        if (created != 0)
            reader->annotations[size_t(row)].created = created;
        ViewerRig viewer(reader);
        viewer.table.notesInline = notesInline;
        viewer.table.rowHighlightColorAsText = true;
        QLocale::setDefault(QLocale(QLocale::German));
        const QVariant value = cell(viewer.table, row, column, role);
        QLocale::setDefault(QLocale::c());
        QCOMPARE(value.userType(), expected.userType());
        QCOMPARE(value, expected);
    }

    // Modes -1 whole row, 3 page, 4 highlight and note, 6 colour column; codes without a
    // display colour (oid 3's orange) paint nothing.
    void background_byMode()
    {
        ViewerRig viewer(smallReader());
        QStringList styles; // the Qt::BrushStyle of each cell of oids 2 and 3
        for (const int mode : {-1, 3, 4, 6, -2, 5}) {
            viewer.table.rowHighlightColorMode = mode;
            for (const int row : {1, 2}) {
                QString cells;
                for (int column = 0; column < 7; ++column)
                    cells += QString::number(cell(viewer.table, row, column, Qt::BackgroundRole)
                                                 .value<QBrush>()
                                                 .style());
                styles << cells;
            }
        }
        QCOMPARE(styles.join(' '),
                 QStringLiteral("1111111 0000000 0001000 0000000 0000110 0000000 "
                                "0000001 0000000 0000000 0000000 0000000 0000000"));
    }

    // The proxy follows the table: display options, a reload with new keys, newer rows.
    void proxy_followsTheTable()
    {
        ViewerRig viewer(smallReader());
        viewer.proxy.setSortRole(Qt::UserRole);
        viewer.proxy.sort(0);
        viewer.proxy.sort(2);
        // Oid 2's note follows its highlight only while notes are inline.
        viewer.proxy.setSearchPattern(QStringLiteral("^a colou?r wheel$"));
        QCOMPARE(shownOids(viewer.proxy), (QList<int>{2, 4})); // title, then date
        viewer.table.notesInline = true;
        viewer.table.refreshAll();
        QCOMPARE(shownOids(viewer.proxy), (QList<int>{4}));
        viewer.proxy.setSearchPattern(QString());
        viewer.proxy.sort(0);
        viewer.table.beginReload();
        const QModelIndex last = viewer.table.index(4, 4);
        viewer.reader->annotations.pop_back();
        QVERIFY(!last.data().isValid());
        QVERIFY(!viewer.table.headerData(4, Qt::Vertical).isValid());
        for (AnnotationRecord &record : viewer.reader->annotations)
            record.created = baseTime - record.oid;
        viewer.table.endReload();
        QCOMPARE(shownOids(viewer.proxy), (QList<int>{4, 3, 2, 1}));
        // Made after the proxy (or by a reader whose clock runs ahead): no default bound hides
        // it. Page 10000 lies beyond the default bound.
        const qint64 later = QDateTime::currentSecsSinceEpoch() + 3600;
        viewer.reader->annotations.push_back(annotationAt(9, 10, later, 1, "later"));
        viewer.reader->annotations.push_back(annotationAt(8, 10, baseTime, 10000, "beyond"));
        viewer.table.reload();
        QCOMPARE(shownOids(viewer.proxy), (QList<int>{4, 3, 2, 1, 9}));
    }

    // Each case starts from an invalid pattern that hides every row, so the setters must re-run
    // the filter; the case sensitivity comes last, so it must recompile the pattern. No row
    // may log a warning, not even for an invalid pattern.
    void filter_data()
    {
        QTest::addColumn<bool>("caseSensitive");
        QTest::addColumn<QStringList>("texts");    // author, title, pattern
        QTest::addColumn<QList<qint64>>("bounds"); // dateFrom, dateTo, pageFrom, pageTo
        QTest::addColumn<QList<int>>("hiddenColours");
        QTest::addColumn<QList<int>>("oids");
        const auto row = [](const char *name, bool caseSensitive, const QStringList &texts,
                            const QList<qint64> &bounds, const QList<int> &oids,
                            const QList<int> &hiddenColours = {}) {
            QTest::newRow(name) << caseSensitive << texts << bounds << hiddenColours << oids;
        };
        const qint64 t = baseTime;
        row("bookmarks hidden", false, {"", "", ""}, {}, {1, 2, 3, 4});
        row("author, case-sensitive", true, {"herbert", "", ""}, {}, {});
        row("author of a missing book", false, {"99", "", ""}, {}, {3});
        row("author and title", false, {"Frank", "Anathem", ""}, {}, {});
        row("note", false, {"", "", "SPELLING|only"}, {}, {2, 3});
        row("unbalanced bracket hides all", false, {"", "", "colo(u?r"}, {}, {});
        row("pattern recompiled case-sensitive", true, {"", "", "A COLOU?R"}, {}, {});
        row("dates inclusive", false, {"", "", ""}, {t + 200, t + 350, 0, 9999}, {3, 4});
        row("dates one second inside", false, {"", "", ""}, {t + 201, t + 349, 0, 9999}, {});
        row("pages inclusive", false, {"", "", ""}, {0, t + 999, 3, 8}, {1, 3, 4});
        row("pages one inside", false, {"", "", ""}, {0, t + 999, 4, 7}, {1});
        // Colours of oids 1 to 4: yellow, blue, orange, green.
        row("blue hidden", false, {"", "", ""}, {}, {1, 3, 4}, {color_blue});
        row("unused colour hidden", false, {"", "", ""}, {}, {1, 2, 3, 4}, {color_red});
        row("all but orange", false, {"", "", ""}, {}, {3},
            {color_yellow, color_blue, color_green, color_none});
    }

    void filter()
    {
        QFETCH(bool, caseSensitive);
        QFETCH(QStringList, texts);
        QFETCH(QList<qint64>, bounds);
        QFETCH(QList<int>, hiddenColours);
        QFETCH(QList<int>, oids);
        ViewerRig viewer(smallReader());
        const testhelpers::LogRecorder log;
        annotationTableSortFilterProxyModel &proxy = viewer.proxy;
        proxy.setSearchPattern(QStringLiteral("("));
        proxy.hiddenColors = QSet<int>(hiddenColours.begin(), hiddenColours.end());
        if (!bounds.isEmpty()) {
            proxy.dateFrom = bounds[0];
            proxy.dateTo = bounds[1];
            proxy.pageFrom = int32_t(bounds[2]);
            proxy.pageTo = int32_t(bounds[3]);
        }
        proxy.setAuthorFilter(texts[0]);
        proxy.setTitleFilter(texts[1]);
        proxy.setSearchPattern(texts[2]);
        proxy.setSearchCaseSensitivity(caseSensitive ? Qt::CaseSensitive : Qt::CaseInsensitive);
        QCOMPARE(shownOids(proxy), oids);
        QVERIFY2(log.warnings().isEmpty(), log.joined().constData());
    }

    void proxy_sortsAndFiltersLikeQtsProxy_data()
    {
        QTest::addColumn<quint32>("seed");
        QTest::addColumn<int>("rows");
        QTest::addColumn<int>("role");
        QTest::addColumn<bool>("caseSensitive");
        for (quint32 seed = 1; seed <= 6; ++seed) {
            QTest::addRow("seed %u, 50 rows, sort keys", seed)
                << seed << 50 << int(Qt::UserRole) << false;
            QTest::addRow("seed %u, 50 rows, texts", seed)
                << seed << 50 << int(Qt::DisplayRole) << bool(seed % 2);
        }
        for (quint32 seed = 7; seed <= 9; ++seed)
            QTest::addRow("seed %u, 3000 rows", seed) << seed << 3000 << int(Qt::UserRole) << false;
    }

    // Sorts by any column or none and searches, in random turns, over a generated reader: the
    // rows shown and their order (stable, so earlier sorts decide ties; rows a search shows
    // anew after the equal ones) are Qt's own.
    void proxy_sortsAndFiltersLikeQtsProxy()
    {
        QFETCH(quint32, seed);
        QFETCH(int, rows);
        QFETCH(int, role);
        QFETCH(bool, caseSensitive);
        QRandomGenerator random(seed);
        auto reader = std::make_shared<Reader>(DetectionRecord{});
        for (int book = 1; book <= 6; ++book)
            reader->books[book] =
                BookInfo{book, int32_t(random.bounded(6)), QStringLiteral("T%1").arg(book % 4),
                         QStringLiteral("a%1").arg(book % 3)};
        for (int row = 0; row < rows; ++row) {
            const QByteArray text =
                (random.bounded(2) ? "w" : "W") + QByteArray::number(random.bounded(12));
            reader->annotations.push_back(
                annotationAt(row, int32_t(random.bounded(1, 8)), baseTime + random.bounded(40),
                             int32_t(random.bounded(1, 30)), text.constData()));
            reader->annotations.back().isBookmark = random.bounded(8) == 0;
        }
        ViewerRig viewer(reader, ViewerRig::Mode::Fatal);
        const auto cs = caseSensitive ? Qt::CaseSensitive : Qt::CaseInsensitive;
        viewer.proxy.setShowBookmarks(true);
        viewer.proxy.setSortRole(role);
        viewer.proxy.setSortCaseSensitivity(cs);
        QSortFilterProxyModel reference;
        reference.setSourceModel(&viewer.table);
        reference.setSortRole(role);
        reference.setSortCaseSensitivity(cs);
        reference.setFilterKeyColumn(annotationTable::columnHighlight);
        const QStringList patterns = {"w[0-4]$", "w([2-7]|10)$", "w1", "", "^w[5-9]"};
        for (int step = 0; step < 14; ++step) {
            if (random.bounded(3) == 0) {
                const QString pattern = patterns[int(random.bounded(patterns.size()))];
                viewer.proxy.setSearchPattern(pattern);
                reference.setFilterRegularExpression(
                    QRegularExpression(pattern, QRegularExpression::CaseInsensitiveOption));
            } else {
                const int column = int(random.bounded(-1, annotationTable::columnTotal));
                const auto order = random.bounded(2) ? Qt::AscendingOrder : Qt::DescendingOrder;
                viewer.proxy.sort(column, order);
                reference.sort(column, order);
            }
            QCOMPARE(shownOids(viewer.proxy), shownOids(reference));
        }
    }

    // A persistent index (a selection, the current row) follows its annotation through sorts
    // and searches; a display option refreshing every row keeps the order of equal titles.
    void proxy_keepsPersistentRowsAndTheOrderOfEqualKeys()
    {
        ViewerRig viewer(smallReader());
        viewer.proxy.setSortRole(annotationTableSortFilterProxyModel::shownValueRole);
        viewer.proxy.sort(annotationTable::columnPage);
        viewer.proxy.sort(annotationTable::columnTitle);
        const QList<int> titleThenPage{2, 1, 4, 3};
        QCOMPARE(shownOids(viewer.proxy), titleThenPage);
        const QPersistentModelIndex dune(viewer.proxy.index(2, annotationTable::columnNote));
        viewer.proxy.sort(annotationTable::columnDate, Qt::DescendingOrder);
        QCOMPARE(dune.row(), 1); // oids 1, 4, 3, 2
        viewer.proxy.setSearchPattern(QStringLiteral("wheel"));
        QCOMPARE(dune.row(), 0);
        QCOMPARE(dune.data(Qt::DisplayRole),
                 viewer.table.index(3, annotationTable::columnNote).data());
        viewer.proxy.setSearchPattern(QStringLiteral("spice"));
        QVERIFY(!dune.isValid());
        viewer.proxy.setSearchPattern(QString());
        viewer.proxy.sort(annotationTable::columnPage);
        viewer.proxy.sort(annotationTable::columnTitle);
        viewer.table.rowHighlightColorMode = 3;
        viewer.table.notesInline = true;
        viewer.table.refreshAll();
        QCOMPARE(shownOids(viewer.proxy), titleThenPage);
    }

    void delegate_readOnlyEditorOnHighlightAndNote_data()
    {
        QTest::addColumn<int>("column");
        for (int column : {0, 4, 5})
            QTest::addRow("column %d", column) << column;
    }

    // A double click opens the editor on the highlight and the note alone. It shows markup as
    // plain text, takes no typing and changes no data.
    void delegate_readOnlyEditorOnHighlightAndNote()
    {
        QFETCH(int, column);
        auto reader = smallReader();
        const QString markup = QStringLiteral("if a<b && c>d\n<b>then</b> &amp;");
        reader->annotations[1].highlightText = reader->annotations[1].noteText = markup;
        ViewerRig viewer(reader);
        TextEditDelegate delegate;
        QTableView view;
        view.setModel(&viewer.proxy);
        view.setItemDelegate(&delegate);
        view.resize(1200, 300);
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view));
        const QModelIndex index = viewer.proxy.index(1, column);
        const QPoint at = view.visualRect(index).center();
        QTest::mouseClick(view.viewport(), Qt::LeftButton, {}, at);
        QTest::mouseDClick(view.viewport(), Qt::LeftButton, {}, at);
        auto *editor = view.viewport()->findChild<QTextEdit *>();
        QCOMPARE(editor != nullptr, column != 0);
        if (!editor)
            return;
        QTest::keyClicks(editor, QStringLiteral("typed"));
        QCOMPARE(editor->toPlainText(), markup);
        QSignalSpy changed(&viewer.table, &QAbstractItemModel::dataChanged);
        delegate.setModelData(editor, &viewer.proxy, index);
        QVERIFY(viewer.proxy.setData(index, QStringLiteral("typed")));
        QCOMPARE(index.data().toString(), markup);
        QCOMPARE(changed.count(), 0);
    }
};

QTEST_MAIN(tst_annotationtable)
#include "tst_annotationtable.moc"
