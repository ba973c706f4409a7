// The viewer's table model, its proxy (checked against Qt's own proxy over generated
// readers) and the read-only editor.

#include "support/testhelpers.h"
#include "support/viewerrig.h"
#include "viewer/texteditdelegate.h"

#include <QDateTime>
#include <QRandomGenerator>
#include <QSortFilterProxyModel>
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

} // namespace

class tst_annotationtable : public QObject
{
    Q_OBJECT

private slots:
    void cleanup() { QLocale::setDefault(QLocale::c()); }

    // Inline notes, the colour as a letter, dates in English whatever the locale (German while
    // reading) and no overflow inside Qt for absurd times.
    void cells()
    {
        auto reader = smallReader();
        reader->annotations[0].created =
            QDateTime(QDate(2021, 3, 5), QTime(9, 5)).toSecsSinceEpoch();
        reader->annotations[1].created = std::numeric_limits<qint64>::max();
        reader->annotations[2].created = std::numeric_limits<qint64>::min();
        ViewerRig viewer(reader);
        viewer.table.notesInline = true;
        viewer.table.rowHighlightColorAsText = true;
        QLocale::setDefault(QLocale(QLocale::German));
        const auto text = [&viewer](int row, int column, int role = Qt::DisplayRole) {
            const QVariant value = viewer.table.index(row, column).data(role);
            return value.userType() == QMetaType::QString ? value.toString() : "not text";
        };
        QCOMPARE(text(0, 0), QStringLiteral("5 Mar 2021 09:05"));
        QCOMPARE(text(1, 0), QString());
        QCOMPARE(text(2, 0), QString());
        QCOMPARE(text(2, 4), QStringLiteral("\n\n[note only]"));
        // Else the text search and the export would take the colour letter for a note.
        QCOMPARE(text(1, 5), QString());
        QCOMPARE(text(1, 4, Qt::EditRole), QStringLiteral("a colour wheel"));
        QCOMPARE(text(2, 6), QStringLiteral("?")); // orange has no letter
    }

    // A reload swaps the rows under the proxy: while it runs no cell reads the old rows, after
    // it the proxy sorts the new ones.
    void proxy_followsAReload()
    {
        ViewerRig viewer(smallReader());
        viewer.proxy.setSortRole(Qt::UserRole);
        viewer.proxy.sort(0);
        viewer.table.beginReload();
        const QModelIndex last = viewer.table.index(4, 4);
        viewer.reader->annotations.pop_back();
        QVERIFY(!last.data().isValid());
        for (AnnotationRecord &record : viewer.reader->annotations)
            record.created = baseTime - record.oid;
        viewer.table.endReload();
        QCOMPARE(shownOids(viewer.proxy), (QList<int>{4, 3, 2, 1}));
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
        row("note", false, {"", "", "SPELLING|only"}, {}, {2, 3});
        row("unbalanced bracket hides all", false, {"", "", "colo(u?r"}, {}, {});
        row("pattern recompiled case-sensitive", true, {"", "", "A COLOU?R"}, {}, {});
        row("dates inclusive", false, {"", "", ""}, {t + 200, t + 350, 0, 9999}, {3, 4});
        row("pages inclusive", false, {"", "", ""}, {0, t + 999, 3, 8}, {1, 3, 4});
        // Colours of oids 1 to 4: yellow, blue, orange, green.
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
        for (quint32 seed = 1; seed <= 15; ++seed)
            QTest::addRow("seed %u", seed) << seed;
    }

    // Sorts by any column or none and searches, in random turns, over a generated reader: the
    // rows shown and their order (stable, so earlier sorts decide ties; rows a search shows
    // anew after the equal ones) are Qt's own.
    void proxy_sortsAndFiltersLikeQtsProxy()
    {
        QFETCH(quint32, seed);
        // Fifty rows sorted by the sort keys (even seeds) or by the texts (odd ones, some of them
        // case-sensitive); the last three seeds make thousands of rows sorted by the keys.
        const int rows = seed > 12 ? 3000 : 50;
        const int role = seed % 2 == 1 && rows == 50 ? int(Qt::DisplayRole) : int(Qt::UserRole);
        const auto cs = seed % 4 == 1 ? Qt::CaseSensitive : Qt::CaseInsensitive;
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

    // The editor a double click opens shows markup as plain text, to copy from, and takes no
    // typing.
    void delegate_readOnlyPlainText()
    {
        auto reader = smallReader();
        const QString markup = QStringLiteral("if a<b && c>d\n<b>then</b> &amp;");
        reader->annotations[1].highlightText = markup;
        ViewerRig viewer(reader);
        TextEditDelegate delegate;
        QWidget parent;
        const QModelIndex index = viewer.table.index(1, annotationTable::columnHighlight);
        auto *editor = qobject_cast<QTextEdit *>(delegate.createEditor(&parent, {}, index));
        QVERIFY(editor);
        delegate.setEditorData(editor, index);
        QTest::keyClicks(editor, QStringLiteral("typed"));
        QCOMPARE(editor->toPlainText(), markup);
    }
};

QTEST_MAIN(tst_annotationtable)
#include "tst_annotationtable.moc"
