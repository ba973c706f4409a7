#include "viewer/annotationtable.h"
#include "viewer/annotationtablesortfilterproxymodel.h"
#include "viewer/texteditdelegate.h"

#include "core/textconv.h"
#include "database/annotationimport.h"
#include "database/bookimport.h"
#include "readers/reader.h"
#include "readerfixture/readerfixture.h"

#include <QAbstractItemModelTester>
#include <QBrush>
#include <QDateTime>
#include <QSignalSpy>
#include <QSortFilterProxyModel>
#include <QStandardPaths>
#include <QTableView>
#include <QTemporaryDir>
#include <QTextEdit>
#include <QtTest>

#include <algorithm>
#include <memory>

namespace {

enum Option { plain = 0, notesInline = 1, colorText = 2 };

constexpr qint64 baseTime = 1535639951; // 2018-08-30

AnnotationRecord annotation(int32_t oid, int32_t parentId, qint64 created, int32_t page,
                            const char *highlight, const char *note = "",
                            int32_t color = color_yellow)
{
    AnnotationRecord record;
    record.oid = oid;
    record.parentId = parentId;
    record.created = created;
    record.page = page;
    record.positionKey = (page - 1) * 10000;
    record.highlightText = QString::fromUtf8(highlight);
    record.noteText = QString::fromUtf8(note);
    record.color = color;
    return record;
}

// Books 10 (Dune, second in title order) and 20 (Anathem, first); oid 3's book 99 is missing,
// oid 5 is a bookmark. Dates and pages disagree inside Dune: by date 4 comes first, by page 1.
std::shared_ptr<Reader> smallReader()
{
    auto reader = std::make_shared<Reader>(DetectionRecord{});
    reader->books[10] = BookInfo{10, 1, QStringLiteral("Dune"), QStringLiteral("Frank Herbert")};
    reader->books[20] = BookInfo{20, 0, QStringLiteral("Anathem"), QStringLiteral("N. Stephenson")};
    reader->annotations = {
        annotation(1, 10, baseTime + 360, 5, "The spice must flow"),
        annotation(2, 20, baseTime + 100, 12, "a colour wheel", "British spelling", color_blue),
        annotation(3, 99, baseTime + 200, 3, "", "note only", color_orange),
        annotation(4, 10, baseTime + 350, 8, "a color wheel", "", color_green),
        annotation(5, 20, baseTime + 400, 40, "Bookmark", "", color_none),
    };
    reader->annotations[4].isBookmark = true;
    return reader;
}

QVariant cell(const QAbstractItemModel &model, int row, int column, int role = Qt::DisplayRole)
{
    return model.data(model.index(row, column), role);
}

// The oids in the proxy's order, read through its vertical header.
QList<int> shownOids(const QAbstractItemModel &proxy)
{
    QList<int> oids;
    for (int row = 0; row < proxy.rowCount(); ++row)
        oids << proxy.headerData(row, Qt::Vertical).toInt();
    return oids;
}

// A table and a proxy over it, both under model testers. Thousands of rows want the Fatal
// mode: the QtTest mode formats both values of every check that passes.
struct Viewer
{
    using Mode = QAbstractItemModelTester::FailureReportingMode;

    explicit Viewer(std::shared_ptr<Reader> source = smallReader(), Mode mode = Mode::QtTest)
        : reader(std::move(source))
        , table(reader)
        , tableTester(&table, mode)
    {
        table.rowNumbersByDeviceId = true;
        proxy.setSourceModel(&table);
        proxyTester = std::make_unique<QAbstractItemModelTester>(&proxy, mode);
    }

    std::shared_ptr<Reader> reader;
    annotationTable table;
    QAbstractItemModelTester tableTester;
    annotationTableSortFilterProxyModel proxy;
    std::unique_ptr<QAbstractItemModelTester> proxyTester;
};

// Counts the warnings logged while it lives, passing them on.
struct WarningCounter
{
    WarningCounter() { previous = qInstallMessageHandler(&WarningCounter::handle); }
    ~WarningCounter() { qInstallMessageHandler(previous); }
    static void handle(QtMsgType type, const QMessageLogContext &context, const QString &text)
    {
        count += type == QtWarningMsg;
        previous(type, context, text);
    }
    static inline QtMessageHandler previous = nullptr;
    static inline int count = 0;
};

} // namespace

class tst_annotationtable : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void cells_data();
    void cells();
    void date_fixedFormatInLocalTime_outOfRangeEmpty();
    void headers_columnsAndRowNumbers();
    void flags_onlyHighlightAndNoteEditable_editsDiscarded();
    void importedProfile_shownSortedAndFiltered();

    void background_byColorAndMode_data();
    void background_byColorAndMode();
    void colorLetter_data();
    void colorLetter();

    void refreshAll_announcesEveryCellAndProxyRefilters();
    void reload_staleIndexInvalid_newListSortedByNewKeys();

    void filter_data();
    void filter();
    void filter_defaultBounds_showLaterAnnotations_hidePage10000();
    void filter_byColour_data();
    void filter_byColour();
    void filter_largeChange_keepsOrder_data();
    void filter_largeChange_keepsOrder();

    void sort_userRole_data();
    void sort_userRole();
    void sort_roleAndCaseSwitched_resortByDisplayText();

    void delegate_doubleClick_editorOnlyOnHighlightAndNote_data();
    void delegate_doubleClick_editorOnlyOnHighlightAndNote();
    void delegate_editor_readOnlyPlainHighlightAndDataUnchanged();

    void destructors_logTheirLines();
};

void tst_annotationtable::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
    qRegisterMetaType<Qt::Orientation>();
    qRegisterMetaType<QList<QPersistentModelIndex>>();
    qRegisterMetaType<QAbstractItemModel::LayoutChangeHint>();
}

void tst_annotationtable::cells_data()
{
    QTest::addColumn<int>("options");
    QTest::addColumn<int>("row");
    QTest::addColumn<int>("column");
    QTest::addColumn<int>("role");
    QTest::addColumn<QVariant>("expected");
    const auto add = [](const char *name, int options, int row, int column, int role,
                        const QVariant &expected) {
        QTest::newRow(name) << options << row << column << role << expected;
    };
    const auto text = [](const char *value) { return QVariant(QString::fromUtf8(value)); };
    add("author", plain, 0, 1, Qt::DisplayRole, text("Frank Herbert"));
    add("title", plain, 0, 2, Qt::DisplayRole, text("Dune"));
    add("page", plain, 0, 3, Qt::DisplayRole, 5);
    add("highlight", plain, 0, 4, Qt::DisplayRole, text("The spice must flow"));
    add("note", plain, 1, 5, Qt::DisplayRole, text("British spelling"));
    add("colour without letters", plain, 0, 6, Qt::DisplayRole, text(""));
    add("author of a missing book", plain, 2, 1, Qt::DisplayRole, text("99"));
    add("title of a missing book", plain, 2, 2, Qt::DisplayRole, text("99"));
    add("inline note", notesInline, 1, 4, Qt::DisplayRole,
        text("a colour wheel\n\n[British spelling]"));
    add("inline, no note", notesInline, 0, 4, Qt::DisplayRole, text("The spice must flow"));
    add("inline note without highlight", notesInline, 2, 4, Qt::DisplayRole,
        text("\n\n[note only]"));
    // Not the colour letter: the text search and the export would take it for a note.
    add("inline: note column empty", notesInline | colorText, 1, 5, Qt::DisplayRole, text(""));
    add("edit highlight without inline note", notesInline, 1, 4, Qt::EditRole,
        text("a colour wheel"));
    add("edit note", notesInline, 1, 5, Qt::EditRole, text("British spelling"));
    add("edit title: none", plain, 1, 2, Qt::EditRole, QVariant());
    add("sort date: 64 bits", plain, 0, 0, Qt::UserRole, qlonglong(baseTime + 360));
    add("sort author: none", plain, 0, 1, Qt::UserRole, QVariant());
    add("sort title: title order", plain, 0, 2, Qt::UserRole, 1);
    add("sort title of a missing book: position", plain, 2, 2, Qt::UserRole, 20000);
    add("sort page: position", plain, 0, 3, Qt::UserRole, 40000);
    add("sort highlight: bookmark flag", plain, 4, 4, Qt::UserRole, true);
    add("sort note: none", plain, 0, 5, Qt::UserRole, QVariant());
    add("page centred", plain, 0, 3, Qt::TextAlignmentRole, int(Qt::AlignCenter));
    add("colour centred", plain, 0, 6, Qt::TextAlignmentRole, int(Qt::AlignCenter));
    add("others left", plain, 0, 5, Qt::TextAlignmentRole, int(Qt::AlignLeft | Qt::AlignVCenter));
    add("no tooltips", plain, 0, 4, Qt::ToolTipRole, QVariant());
}

void tst_annotationtable::cells()
{
    QFETCH(int, options);
    QFETCH(int, row);
    QFETCH(int, column);
    QFETCH(int, role);
    QFETCH(QVariant, expected);
    Viewer viewer;
    viewer.table.notesInline = options & notesInline;
    viewer.table.rowHighlightColorAsText = options & colorText;
    const QVariant value = cell(viewer.table, row, column, role);
    QCOMPARE(value.userType(), expected.userType());
    QCOMPARE(value, expected);
}

void tst_annotationtable::date_fixedFormatInLocalTime_outOfRangeEmpty()
{
    auto reader = smallReader();
    reader->annotations[0].created = QDateTime(QDate(2021, 1, 5), QTime(9, 5)).toSecsSinceEpoch();
    reader->annotations[1].created =
        QDateTime(QDate(2018, 8, 30), QTime(14, 39, 59)).toSecsSinceEpoch();
    reader->annotations[2].created = std::numeric_limits<qint64>::max();
    reader->annotations[3].created = std::numeric_limits<qint64>::min();
    Viewer viewer(reader);
    QCOMPARE(cell(viewer.table, 0, 0).toString(), QStringLiteral("5 Jan 2021 09:05"));
    QCOMPARE(cell(viewer.table, 1, 0).toString(), QStringLiteral("30 Aug 2018 14:39"));
    QCOMPARE(cell(viewer.table, 2, 0).toString(), QString());
    QCOMPARE(cell(viewer.table, 3, 0).toString(), QString());
}

void tst_annotationtable::headers_columnsAndRowNumbers()
{
    Viewer viewer;
    annotationTable &table = viewer.table;
    QStringList headers;
    for (int section = 0; section < 7; ++section)
        headers << table.headerData(section, Qt::Horizontal).toString();
    QCOMPARE(headers, (QStringList{"Date", "Author", "Title", "Page", "Highlight", "Note", ""}));
    QCOMPARE(table.headerData(9, Qt::Horizontal), QVariant(9));
    QVERIFY(!table.headerData(0, Qt::Horizontal, Qt::ToolTipRole).isValid());
    table.notesInline = true;
    QCOMPARE(table.headerData(4, Qt::Horizontal).toString(), QStringLiteral("Highlight/Note"));

    viewer.reader->annotations[0].oid = 4711;
    QCOMPARE(table.headerData(0, Qt::Vertical), QVariant(4711));
    table.rowNumbersByDeviceId = false;
    QCOMPARE(table.headerData(0, Qt::Vertical), QVariant(1));
    QCOMPARE(table.headerData(2, Qt::Vertical), QVariant(3));
}

void tst_annotationtable::flags_onlyHighlightAndNoteEditable_editsDiscarded()
{
    Viewer viewer;
    for (int column = 0; column < 7; ++column) {
        const Qt::ItemFlags editable =
            column == 4 || column == 5 ? Qt::ItemIsEditable : Qt::NoItemFlags;
        QCOMPARE(viewer.table.flags(viewer.table.index(0, column)),
                 Qt::ItemIsSelectable | Qt::ItemIsEnabled | editable);
    }
    QSignalSpy changed(&viewer.table, &QAbstractItemModel::dataChanged);
    QVERIFY(viewer.proxy.setData(viewer.proxy.index(0, 4), QStringLiteral("typed")));
    QCOMPARE(viewer.reader->annotations[0].highlightText, QStringLiteral("The spice must flow"));
    QCOMPARE(changed.count(), 0);
}

void tst_annotationtable::importedProfile_shownSortedAndFiltered()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const auto path = toPath(dir.filePath(QStringLiteral("books.db")));
    {
        fixture::BooksDb db(path);
        const int64_t zebra = db.addBook("Zebra", "Z. Author");
        const int64_t apple = db.addBook("apple", "A. Author");
        db.addAnnotation(zebra, {"highlight", 4, 17, baseTime, "striped", "my note", "green"});
        db.addAnnotation(apple, {"highlight", 0, 3, baseTime + 1, "red", "", "red"});
        db.addAnnotation(apple, {"bookmark", 9, 0, baseTime + 2, "Bookmark", "", ""});
    }
    auto reader = std::make_shared<Reader>(DetectionRecord{});
    QVERIFY(importBooks(reader->books, path));
    QVERIFY(importAnnotations(reader->annotations, path));
    Viewer viewer(reader);
    viewer.proxy.setSortRole(Qt::UserRole);
    viewer.proxy.sort(2);

    QStringList shown;
    for (int row = 0; row < viewer.proxy.rowCount(); ++row)
        for (int column = 1; column <= 5; ++column)
            shown << cell(viewer.proxy, row, column).toString();
    QCOMPARE(shown, (QStringList{"A. Author", "apple", "1", "red", "", //
                                 "Z. Author", "Zebra", "5", "striped", "my note"}));
    viewer.proxy.setTitleFilter(QStringLiteral("ZEB"));
    QCOMPARE(cell(viewer.proxy, 0, 3, Qt::UserRole), QVariant(40017));
    QCOMPARE(viewer.proxy.rowCount(), 1);
}

void tst_annotationtable::background_byColorAndMode_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<int>("mode");
    QTest::addColumn<QList<int>>("painted");
    QTest::addColumn<QColor>("color");
    const QColor colors[] = {QColor::fromRgbF(1.0, 1.0, 0.0),   QColor::fromRgbF(0.0, 0.4f, 1.0),
                             QColor::fromRgbF(0.0, 0.8f, 0.6f), QColor::fromRgbF(0.0, 1.0, 0.0),
                             QColor::fromRgbF(1.0, 0.0, 0.0),   QColor::fromRgbF(1.0, 0.0, 0.75)};
    const std::pair<int, QList<int>> modes[] = {
        {-1, {0, 1, 2, 3, 4, 5, 6}}, {3, {3}}, {4, {4, 5}}, {6, {6}}, {-2, {}}, {5, {}}};
    for (int code : {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 12}) {
        const bool known = code >= 1 && code <= 6;
        for (const auto &[mode, columns] : modes)
            QTest::addRow("code %d, mode %d", code, mode)
                << code << mode << (known ? columns : QList<int>())
                << (known ? colors[code - 1] : QColor());
    }
}

void tst_annotationtable::background_byColorAndMode()
{
    QFETCH(int, code);
    QFETCH(int, mode);
    QFETCH(QList<int>, painted);
    QFETCH(QColor, color);
    Viewer viewer;
    viewer.reader->annotations[0].color = code;
    viewer.table.rowHighlightColorMode = mode;
    viewer.table.highlightAlpha = 0.5; // single columns only; the others paint at 0.2
    color.setAlphaF(mode == 3 || mode == 6 ? 0.5 : 0.2);
    for (int column = 0; column < 7; ++column) {
        const QBrush brush = cell(viewer.table, 0, column, Qt::BackgroundRole).value<QBrush>();
        QCOMPARE(brush.style(), painted.contains(column) ? Qt::SolidPattern : Qt::NoBrush);
        if (painted.contains(column))
            QCOMPARE(brush.color(), color);
    }
}

void tst_annotationtable::colorLetter_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("letter");
    const char *letters[] = {"?", "Y", "B", "Cy", "G", "R", "Ma", "?"};
    for (int code : {0, 1, 2, 3, 4, 5, 6, 7, 8, 12, 42})
        QTest::addRow("code %d", code) << code << QString::fromLatin1(letters[qMin(code, 7)]);
}

void tst_annotationtable::colorLetter()
{
    QFETCH(int, code);
    QFETCH(QString, letter);
    Viewer viewer;
    viewer.reader->annotations[0].color = code;
    viewer.table.rowHighlightColorAsText = true;
    QCOMPARE(cell(viewer.table, 0, 6).toString(), letter);
}

void tst_annotationtable::refreshAll_announcesEveryCellAndProxyRefilters()
{
    Viewer viewer;
    viewer.proxy.setShowBookmarks(true);
    viewer.proxy.setSortRole(Qt::UserRole);
    viewer.proxy.sort(0);
    viewer.proxy.sort(2);
    QCOMPARE(shownOids(viewer.proxy), (QList<int>{2, 5, 4, 1, 3}));
    QSignalSpy cells(&viewer.table, &QAbstractItemModel::dataChanged);
    QSignalSpy headers(&viewer.table, &QAbstractItemModel::headerDataChanged);
    viewer.table.notesInline = true;
    viewer.table.refreshAll();
    QCOMPARE(cells.count(), 1);
    QCOMPARE(cells[0][0].toModelIndex(), viewer.table.index(0, 0));
    QCOMPARE(cells[0][1].toModelIndex(), viewer.table.index(4, 6));
    QCOMPARE(headers.count(), 2);
    QCOMPARE(shownOids(viewer.proxy), (QList<int>{2, 5, 4, 1, 3})); // title, then date still

    // Oid 2's note follows its highlight only while notes are inline.
    viewer.proxy.setSearchPattern(QStringLiteral("^a colou?r wheel$"));
    QCOMPARE(shownOids(viewer.proxy), (QList<int>{4}));
    viewer.table.notesInline = false;
    viewer.table.refreshAll();
    QCOMPARE(shownOids(viewer.proxy), (QList<int>{2, 4}));
}

void tst_annotationtable::reload_staleIndexInvalid_newListSortedByNewKeys()
{
    Viewer viewer;
    viewer.proxy.setShowBookmarks(true);
    viewer.proxy.setSortRole(Qt::UserRole);
    viewer.proxy.sort(0);
    QCOMPARE(shownOids(viewer.proxy), (QList<int>{2, 3, 4, 1, 5}));
    QSignalSpy reset(&viewer.table, &QAbstractItemModel::modelReset);

    viewer.table.beginReload();
    const QModelIndex last = viewer.table.index(4, 4);
    viewer.reader->annotations.pop_back();
    QVERIFY(!last.data().isValid());
    QVERIFY(!viewer.table.headerData(4, Qt::Vertical).isValid());
    for (AnnotationRecord &record : viewer.reader->annotations)
        record.created = baseTime - record.oid;
    viewer.table.endReload();
    QCOMPARE(reset.count(), 1);
    QCOMPARE(shownOids(viewer.proxy), (QList<int>{4, 3, 2, 1}));

    viewer.reader->annotations.push_back(annotation(9, 10, baseTime - 9, 1, "new"));
    viewer.table.reload();
    QCOMPARE(shownOids(viewer.proxy), (QList<int>{9, 4, 3, 2, 1}));
}

void tst_annotationtable::filter_data()
{
    QTest::addColumn<bool>("bookmarks");
    QTest::addColumn<bool>("caseSensitive");
    QTest::addColumn<QString>("author");
    QTest::addColumn<QString>("title");
    QTest::addColumn<QString>("pattern");
    QTest::addColumn<QList<qint64>>("bounds"); // dateFrom, dateTo, pageFrom, pageTo
    QTest::addColumn<QList<int>>("oids");
    const qint64 t = baseTime;
    const struct
    {
        const char *name;
        bool bookmarks, caseSensitive;
        const char *author, *title, *pattern;
        QList<qint64> bounds;
        QList<int> oids;
    } cases[] = {
        {"defaults hide bookmarks", false, false, "", "", "", {}, {1, 2, 3, 4}},
        {"bookmarks shown", true, false, "", "", "", {}, {1, 2, 3, 4, 5}},
        {"bookmark matching every filter hidden", false, false, "", "", "Bookmark", {}, {}},
        {"lower-case author", false, false, "herbert", "", "", {}, {1, 4}},
        {"lower-case author, case-sensitive", false, true, "herbert", "", "", {}, {}},
        {"inner author text, case-sensitive", false, true, "nk He", "", "", {}, {1, 4}},
        {"author of a missing book", false, false, "99", "", "", {}, {3}},
        {"title", false, false, "", "ANATH", "", {}, {2}},
        {"author and title", false, false, "Frank", "Anathem", "", {}, {}},
        {"optional letter", false, false, "", "", "colou?r", {}, {2, 4}},
        {"note", false, false, "", "", "SPELLING|only", {}, {2, 3}},
        {"unbalanced bracket hides all", false, false, "", "", "colo(u?r", {}, {}},
        {"pattern recompiled case-sensitive", false, true, "", "", "A COLOU?R", {}, {}},
        {"case-sensitive pattern", false, true, "", "", "a colou?r", {}, {2, 4}},
        {"dates inclusive", false, false, "", "", "", {t + 200, t + 350, 0, 9999}, {3, 4}},
        {"dates one second inside", false, false, "", "", "", {t + 201, t + 349, 0, 9999}, {}},
        {"pages inclusive", false, false, "", "", "", {0, t + 999, 3, 8}, {1, 3, 4}},
        {"pages one inside", false, false, "", "", "", {0, t + 999, 4, 7}, {1}},
    };
    for (const auto &c : cases)
        QTest::newRow(c.name) << c.bookmarks << c.caseSensitive << QString::fromUtf8(c.author)
                              << QString::fromUtf8(c.title) << QString::fromUtf8(c.pattern)
                              << c.bounds << c.oids;
}

// Each case starts from an invalid pattern that hides every row, so every setter must re-run
// the filter; the case sensitivity comes last, so it must recompile the pattern.
void tst_annotationtable::filter()
{
    QFETCH(bool, bookmarks);
    QFETCH(bool, caseSensitive);
    QFETCH(QString, author);
    QFETCH(QString, title);
    QFETCH(QString, pattern);
    QFETCH(QList<qint64>, bounds);
    QFETCH(QList<int>, oids);
    Viewer viewer;
    const WarningCounter warnings;
    const int before = warnings.count;
    annotationTableSortFilterProxyModel &proxy = viewer.proxy;
    proxy.setSearchPattern(QStringLiteral("("));
    QCOMPARE(proxy.rowCount(), 0);
    proxy.setShowBookmarks(bookmarks);
    proxy.setAuthorFilter(author);
    proxy.setTitleFilter(title);
    proxy.setSearchPattern(pattern);
    proxy.setSearchCaseSensitivity(caseSensitive ? Qt::CaseSensitive : Qt::CaseInsensitive);
    if (!bounds.isEmpty()) {
        proxy.dateFrom = bounds[0];
        proxy.dateTo = bounds[1];
        proxy.pageFrom = int32_t(bounds[2]);
        proxy.pageTo = int32_t(bounds[3]);
        proxy.invalidateFilter();
    }
    QCOMPARE(shownOids(proxy), oids);
    QCOMPARE(warnings.count, before);
}

void tst_annotationtable::filter_byColour_data()
{
    QTest::addColumn<QList<int>>("hidden");
    QTest::addColumn<QList<int>>("oids");
    // Colours of oids 1 to 4 (bookmark 5 stays hidden): yellow, blue, orange, green.
    QTest::newRow("none hidden") << QList<int>{} << QList<int>{1, 2, 3, 4};
    QTest::newRow("blue hidden") << QList<int>{color_blue} << QList<int>{1, 3, 4};
    QTest::newRow("unused code hidden") << QList<int>{color_red} << QList<int>{1, 2, 3, 4};
    QTest::newRow("all but orange") << QList<int>{color_yellow, color_blue, color_green, color_none}
                                    << QList<int>{3};
}

void tst_annotationtable::filter_byColour()
{
    QFETCH(QList<int>, hidden);
    QFETCH(QList<int>, oids);
    Viewer viewer;
    viewer.proxy.hiddenColors = QSet<int>(hidden.begin(), hidden.end());
    viewer.proxy.invalidateFilter();
    QCOMPARE(shownOids(viewer.proxy), oids);
    viewer.proxy.hiddenColors.clear();
    viewer.proxy.invalidateFilter();
    QCOMPARE(shownOids(viewer.proxy), (QList<int>{1, 2, 3, 4}));
}

void tst_annotationtable::filter_defaultBounds_showLaterAnnotations_hidePage10000()
{
    auto reader = smallReader();
    reader->annotations.push_back(annotation(7, 10, baseTime, 9999, "last page shown"));
    reader->annotations.push_back(annotation(8, 10, baseTime, 10000, "beyond"));
    Viewer viewer(reader);
    QCOMPARE(shownOids(viewer.proxy), (QList<int>{1, 2, 3, 4, 7}));
    // Made after the proxy (or by a reader whose clock runs ahead): no default bound hides it.
    const qint64 later = QDateTime::currentSecsSinceEpoch() + 3600;
    reader->annotations.push_back(annotation(6, 10, later, 1, "later"));
    viewer.table.reload();
    QCOMPARE(shownOids(viewer.proxy), (QList<int>{1, 2, 3, 4, 7, 6}));
    viewer.proxy.pageTo = 10000;
    viewer.proxy.invalidateFilter();
    QCOMPARE(shownOids(viewer.proxy), (QList<int>{1, 2, 3, 4, 7, 8, 6}));
}

void tst_annotationtable::filter_largeChange_keepsOrder_data()
{
    QTest::addColumn<Qt::SortOrder>("order");
    QTest::newRow("ascending") << Qt::AscendingOrder;
    QTest::newRow("descending") << Qt::DescendingOrder;
}

// Enough rows and changes for the proxy to rebuild its mapping in one pass rather than let
// Qt update it row by row: the rows must be those Qt shows, in an order as stable as Qt's.
void tst_annotationtable::filter_largeChange_keepsOrder()
{
    QFETCH(Qt::SortOrder, order);
    auto reader = std::make_shared<Reader>(DetectionRecord{});
    for (int book = 1; book <= 7; ++book)
        reader->books[book] = BookInfo{book, (book * 3) % 7, QStringLiteral("T%1").arg(book), {}};
    for (int row = 0; row < 4000; ++row) {
        const QByteArray text = "w" + QByteArray::number((row * 5) % 11);
        reader->annotations.push_back(
            annotation(row, 1 + row % 8, baseTime + (row * 37) % 101, 1, text.constData()));
    }
    Viewer viewer(reader, Viewer::Mode::Fatal);
    // Qt's own proxy tells which rows show (without a tester: on its thousands of single-row
    // signals that would take minutes).
    QSortFilterProxyModel reference;
    reference.setSourceModel(&viewer.table);
    reference.setFilterKeyColumn(4);
    viewer.proxy.setSortRole(Qt::UserRole);
    viewer.proxy.sort(0, order);
    viewer.proxy.sort(2, order);
    QSignalSpy rebuilt(&viewer.proxy, &QAbstractItemModel::layoutChanged);

    std::vector<int> rankBefore(4000, -1); // by oid
    const auto remember = [&rankBefore](const QList<int> &oids) {
        std::fill(rankBefore.begin(), rankBefore.end(), -1);
        for (int rank = 0; rank < oids.size(); ++rank)
            rankBefore[oids[rank]] = rank;
    };
    remember(shownOids(viewer.proxy));
    for (const char *pattern : {"w[0-4]$", "w([2-7]|10)$", "w1", ""}) {
        viewer.proxy.setSearchPattern(QString::fromLatin1(pattern));
        reference.setFilterRegularExpression(QRegularExpression(QString::fromLatin1(pattern)));
        const QList<int> after = shownOids(viewer.proxy);
        QList<int> set = after;
        QList<int> expectedSet = shownOids(reference);
        std::sort(set.begin(), set.end());
        std::sort(expectedSet.begin(), expectedSet.end());
        QCOMPARE(set, expectedSet);
        // Sorted by title; among equal titles the rows shown before keep their order (title,
        // then date) and the rows shown anew follow in source order.
        for (int i = 1; i < after.size(); ++i) {
            const qint64 previousKey = viewer.table.sortKey(after[i - 1], 2);
            const qint64 key = viewer.table.sortKey(after[i], 2);
            QVERIFY(order == Qt::AscendingOrder ? previousKey <= key : previousKey >= key);
            const int previousRank = rankBefore[after[i - 1]];
            const int rank = rankBefore[after[i]];
            if (key == previousKey && rank < 0)
                QVERIFY(previousRank >= 0 || after[i - 1] < after[i]);
            else if (key == previousKey)
                QVERIFY(previousRank >= 0 && previousRank < rank);
        }
        remember(after);
    }
    QCOMPARE(rebuilt.count(), 4);
}

void tst_annotationtable::sort_userRole_data()
{
    QTest::addColumn<QList<int>>("columns");
    QTest::addColumn<Qt::SortOrder>("order");
    QTest::addColumn<QList<int>>("oids");
    const auto add = [](const char *name, const QList<int> &columns, Qt::SortOrder order,
                        const QList<int> &oids) {
        QTest::newRow(name) << columns << order << oids;
    };
    add("date", {0}, Qt::AscendingOrder, {2, 3, 4, 1, 5});
    add("title, missing book by position", {2}, Qt::AscendingOrder, {2, 5, 1, 4, 3});
    add("page", {3}, Qt::AscendingOrder, {3, 1, 4, 2, 5});
    add("bookmarks first, descending", {4}, Qt::DescendingOrder, {5, 1, 2, 3, 4});
    add("title, then date", {0, 2}, Qt::AscendingOrder, {2, 5, 4, 1, 3});
    add("title, then page", {3, 2}, Qt::AscendingOrder, {2, 5, 1, 4, 3});
    add("title, then date, descending", {0, 2}, Qt::DescendingOrder, {3, 1, 4, 5, 2});
}

void tst_annotationtable::sort_userRole()
{
    QFETCH(QList<int>, columns);
    QFETCH(Qt::SortOrder, order);
    QFETCH(QList<int>, oids);
    Viewer viewer;
    viewer.proxy.setShowBookmarks(true);
    viewer.proxy.setSortRole(Qt::UserRole);
    for (int column : columns)
        viewer.proxy.sort(column, order);
    QCOMPARE(shownOids(viewer.proxy), oids);
}

// The title order of the books disagrees with their titles' text order.
void tst_annotationtable::sort_roleAndCaseSwitched_resortByDisplayText()
{
    auto reader = smallReader();
    reader->books[10] = BookInfo{10, 0, QStringLiteral("banana"), QString()};
    reader->books[20] = BookInfo{20, 1, QStringLiteral("Cherry"), QString()};
    Viewer viewer(reader);
    viewer.proxy.setSortRole(Qt::UserRole);
    viewer.proxy.sort(2);
    QCOMPARE(shownOids(viewer.proxy), (QList<int>{1, 4, 2, 3}));
    viewer.proxy.setSortRole(Qt::DisplayRole);
    QCOMPARE(shownOids(viewer.proxy), (QList<int>{3, 1, 4, 2}));
    viewer.proxy.setSortCaseSensitivity(Qt::CaseSensitive);
    QCOMPARE(viewer.proxy.sortCaseSensitivity(), Qt::CaseSensitive);
    QCOMPARE(shownOids(viewer.proxy), (QList<int>{3, 2, 1, 4}));
}

void tst_annotationtable::delegate_doubleClick_editorOnlyOnHighlightAndNote_data()
{
    QTest::addColumn<int>("column");
    for (int column = 0; column < 7; ++column)
        QTest::addRow("column %d", column) << column;
}

void tst_annotationtable::delegate_doubleClick_editorOnlyOnHighlightAndNote()
{
    QFETCH(int, column);
    Viewer viewer;
    TextEditDelegate delegate;
    QTableView view;
    view.setModel(&viewer.proxy);
    view.setItemDelegate(&delegate);
    view.resize(1200, 300);
    view.show();
    QVERIFY(QTest::qWaitForWindowExposed(&view));
    const QRect rect = view.visualRect(viewer.proxy.index(1, column));
    QTest::mouseClick(view.viewport(), Qt::LeftButton, {}, rect.center());
    QTest::mouseDClick(view.viewport(), Qt::LeftButton, {}, rect.center());
    auto *editor = view.viewport()->findChild<QTextEdit *>();
    QCOMPARE(editor != nullptr, column == 4 || column == 5);
    if (editor)
        QCOMPARE(editor->geometry(), rect);
}

void tst_annotationtable::delegate_editor_readOnlyPlainHighlightAndDataUnchanged()
{
    auto reader = smallReader();
    const QString markup = QStringLiteral("if a<b && c>d\n<b>then</b> &amp;");
    reader->annotations[1].highlightText = markup;
    Viewer viewer(reader);
    viewer.table.notesInline = true;
    TextEditDelegate delegate;
    QWidget parent;
    const QModelIndex index = viewer.proxy.index(1, 4);
    QStyleOptionViewItem option;
    auto *editor = qobject_cast<QTextEdit *>(delegate.createEditor(&parent, option, index));
    QVERIFY(editor);
    QCOMPARE(editor->parentWidget(), &parent);
    QVERIFY(editor->isReadOnly());
    option.rect = QRect(7, 9, 300, 40);
    delegate.updateEditorGeometry(editor, option, index);
    QCOMPARE(editor->geometry(), option.rect);

    delegate.setEditorData(editor, index);
    QCOMPARE(editor->toPlainText(), markup);
    QTest::keyClicks(editor, QStringLiteral("typed"));
    QCOMPARE(editor->toPlainText(), markup);
    delegate.setModelData(editor, &viewer.proxy, index);
    QCOMPARE(index.data().toString(), markup + QStringLiteral("\n\n[British spelling]"));
}

void tst_annotationtable::destructors_logTheirLines()
{
    QTest::ignoreMessage(QtDebugMsg, "Deleted delegate");
    QTest::ignoreMessage(QtDebugMsg, "Deleted annotationSortFilterProxy model");
    QTest::ignoreMessage(QtDebugMsg, "Deleted annotationTable model");
    auto table = std::make_unique<annotationTable>(smallReader());
    auto proxy = std::make_unique<annotationTableSortFilterProxyModel>();
    proxy->setSourceModel(table.get());
    {
        TextEditDelegate delegate;
    }
    proxy.reset();
    table.reset();
}

QTEST_MAIN(tst_annotationtable)
#include "tst_annotationtable.moc"
