// Exporting the viewer's selected rows: whole documents per format, order and separator,
// escaping, the file dialog and file writing, the clipboard.

#include "core/globalsclass.h"
#include "core/settingsstore.h"
#include "readers/reader.h"
#include "support/fakeprompts.h"
#include "viewer/annotationexporter.h"
#include "viewer/annotationtable.h"
#include "viewer/annotationtablesortfilterproxymodel.h"
#include "viewer/exportformatter.h"

#include <QAbstractItemModelTester>
#include <QClipboard>
#include <QGuiApplication>
#include <QItemSelectionModel>
#include <QMimeData>
#include <QRect>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <limits>
#include <memory>
#include <random>

namespace {

AnnotationRecord note(int32_t book, int64_t created, int32_t page, int32_t positionKey,
                      const QString &highlight, const QString &noteText, bool bookmark = false)
{
    AnnotationRecord record;
    record.parentId = book;
    record.created = created;
    record.page = page;
    record.positionKey = positionKey;
    record.highlightText = highlight;
    record.noteText = noteText;
    record.isBookmark = bookmark;
    return record;
}

/// A reader's lists shown through the real table model and proxy, with a selection on the proxy.
struct Viewer
{
    Viewer(std::vector<AnnotationRecord> annotations, std::map<int32_t, BookInfo> books,
           bool withTesters = true)
        : reader(std::make_shared<Reader>(DetectionRecord{}))
    {
        reader->annotations = std::move(annotations);
        reader->books = std::move(books);
        model = std::make_unique<annotationTable>(reader);
        proxy = std::make_unique<annotationTableSortFilterProxyModel>();
        proxy->setSourceModel(model.get());
        if (withTesters) {
            modelTester = std::make_unique<QAbstractItemModelTester>(model.get());
            proxyTester = std::make_unique<QAbstractItemModelTester>(proxy.get());
        }
        selection = std::make_unique<QItemSelectionModel>(proxy.get());
    }
    void selectRows(std::initializer_list<int> rows)
    {
        for (const int row : rows)
            selection->select(proxy->index(row, 0),
                              QItemSelectionModel::Select | QItemSelectionModel::Rows);
    }
    void selectAll()
    {
        selection->select(
            QItemSelection(proxy->index(0, 0), proxy->index(proxy->rowCount() - 1, 6)),
            QItemSelectionModel::Select);
    }

    std::shared_ptr<Reader> reader;
    std::unique_ptr<annotationTable> model;
    std::unique_ptr<annotationTableSortFilterProxyModel> proxy;
    std::unique_ptr<QAbstractItemModelTester> modelTester;
    std::unique_ptr<QAbstractItemModelTester> proxyTester;
    std::unique_ptr<QItemSelectionModel> selection;
};

const std::map<int32_t, BookInfo> twoBooks{{10, {10, 0, "Alpha", "Ann Author"}},
                                           {20, {20, 1, "Beta", "Bob Writer"}}};

/// Shown newest first: a3 (Alpha p. 3), b5, b9, a12 (no note); the bookmark stays hidden.
std::unique_ptr<Viewer> fixtureViewer()
{
    auto viewer = std::make_unique<Viewer>(
        std::vector<AnnotationRecord>{note(20, 1000300, 5, 40010, "Beta five", "note b5"),
                                      note(10, 1000100, 12, 110003, "Alpha twelve", ""),
                                      note(10, 1000400, 3, 20001, "Alpha three", "n a3"),
                                      note(20, 1000200, 9, 80000, "Beta nine", "n b9"),
                                      note(10, 1000500, 7, 60000, "Bookmark", "", true)},
        twoBooks);
    viewer->proxy->setSortRole(Qt::UserRole);
    viewer->proxy->sort(0, Qt::DescendingOrder);
    return viewer;
}

// A creation time as the table's date column shows it.
QString shown(int64_t created)
{
    return QLocale::c().toString(QDateTime::fromSecsSinceEpoch(created),
                                 QStringLiteral("d MMM yyyy hh:mm"));
}

QString withoutTime(QString text)
{
    static const QRegularExpression stamp(
        QStringLiteral("\\(\\d\\d/\\d\\d/\\d{4} \\d\\d:\\d\\d:\\d\\d\\)"));
    return text.replace(stamp, QStringLiteral("(TIME)"));
}

} // namespace

class tst_annotationexporter : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }

    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
        const std::string root = m_dir->path().toStdString();
        m_globals = std::make_shared<globalsClass>(false, root, root + "/data", root + "/share",
                                                   root + "/config");
        QGuiApplication::clipboard()->clear();
    }

    void cleanup()
    {
        m_globals.reset();
        m_dir.reset();
    }

    void export_wholeDocument_data()
    {
        QTest::addColumn<int>("format");
        QTest::addColumn<int>("mode");
        QTest::addColumn<bool>("contextMenu");
        QTest::addColumn<QString>("separator"); // null: none stored
        QTest::addColumn<QString>("expected");

        const QString T = "Annotations export (TIME)\r\n" + QString(40, '#') + "\r\n\r\n";
        const QString hA = "\r\n" + QString(18, '=') + "\r\nAlpha (Ann Author)\r\n" +
                           QString(18, '=') + "\r\n\r\n";
        const QString hB =
            "\r\n" + QString(17, '=') + "\r\nBeta (Bob Writer)\r\n" + QString(17, '=') + "\r\n\r\n";
        const QString S = "\r\n---\r\n\r\n";
        const QString ta3 = "Alpha three (p. 3) [n a3]\r\n", ta12 = "Alpha twelve (p. 12) \r\n",
                      tb5 = "Beta five (p. 5) [note b5]\r\n", tb9 = "Beta nine (p. 9) [n b9]\r\n";
        const QString none;
        const auto row = [](const char *name, int format, int mode, const QString &expected,
                            bool contextMenu = false, const QString &separator = QString()) {
            QTest::newRow(name) << format << mode << contextMenu << separator << expected;
        };
        row("txt viewer", 0, 0, T + hA + ta3 + hB + tb5 + S + tb9 + hA + ta12);
        row("txt date", 0, 1, T + hA + ta12 + hB + tb9 + S + tb5 + hA + ta3);
        row("txt title/date", 0, 2, T + hA + ta12 + S + ta3 + hB + tb9 + S + tb5);
        row("txt title/page", 0, 3, T + hA + ta3 + S + ta12 + hB + tb5 + S + tb9);
        row("txt selection", 0, 4, T + hB + tb9 + hA + ta3 + S + ta12 + hB + tb5);
        QTest::newRow("txt context menu, no title block")
            << 0 << 0 << true << none << hA + ta3 + hB + tb5 + S + tb9 + hA + ta12;

        const QString H =
            "<!DOCTYPE html>\r\n<html lang=\"en\"><head><title>Annotations export (TIME) "
            "</title>\r\n"
            "<meta http-equiv=\"Content-Type\" content=\"text/html;charset=UTF-8\">\r\n"
            "<style>table {width: 100%;} td {vertical-align: "
            "top;}</style>\r\n</head>\r\n<body>\r\n";
        const QString columns = "<tr><th>Page</th><th>Highlight</th><th>Note</th></tr>\r\n";
        const QString tA = "<table><tr><th colspan=3>Alpha (Ann Author)</th></tr>\r\n" + columns;
        const QString tB = "<table><tr><th colspan=3>Beta (Bob Writer)</th></tr>\r\n" + columns;
        const QString E = "</table>\r\n", END = "</body></html>";
        const QString ha3 = "<tr><td>3</td><td>Alpha three</td><td>[n a3]</td></tr>\r\n",
                      ha12 = "<tr><td>12</td><td>Alpha twelve</td><td></td></tr>\r\n",
                      hb5 = "<tr><td>5</td><td>Beta five</td><td>[note b5]</td></tr>\r\n",
                      hb9 = "<tr><td>9</td><td>Beta nine</td><td>[n b9]</td></tr>\r\n";
        row("html viewer", 1, 0, H + tA + ha3 + E + tB + hb5 + hb9 + E + tA + ha12 + E + END);
        row("html date", 1, 1, H + tA + ha12 + E + tB + hb9 + hb5 + E + tA + ha3 + E + END);
        row("html title/date", 1, 2, H + tA + ha12 + ha3 + E + tB + hb9 + hb5 + E + END);
        row("html title/page", 1, 3, H + tA + ha3 + ha12 + E + tB + hb5 + hb9 + E + END);
        QTest::newRow("html selection")
            << 1 << 4 << false << none
            << H + tB + hb9 + E + tA + ha3 + ha12 + E + tB + hb5 + E + END;

        const QString C = "Author;Title;Page;Highlights;Notes\r\n";
        const QString ca3 = "\"Ann Author\";\"Alpha\";3;\"Alpha three\";\"[n a3]\"\r\n",
                      ca12 = "\"Ann Author\";\"Alpha\";12;\"Alpha twelve\";\"\"\r\n",
                      cb5 = "\"Bob Writer\";\"Beta\";5;\"Beta five\";\"[note b5]\"\r\n",
                      cb9 = "\"Bob Writer\";\"Beta\";9;\"Beta nine\";\"[n b9]\"\r\n";
        row("csv viewer", 2, 0, C + ca3 + cb5 + cb9 + ca12);
        row("csv date", 2, 1, C + ca12 + cb9 + cb5 + ca3);
        row("csv title/date", 2, 2, C + ca12 + ca3 + cb9 + cb5);
        row("csv title/page", 2, 3, C + ca3 + ca12 + cb5 + cb9);
        row("csv selection", 2, 4, C + cb9 + ca3 + ca12 + cb5);
        row("csv unknown mode as viewer", 2, 7, C + ca3 + cb5 + cb9 + ca12);
        for (const QString separator : {",", "\t", "%2"})
            row(qPrintable("csv separator " + separator), 2, 0,
                QString(C + ca3 + cb5 + cb9 + ca12).replace(';', separator), false, separator);

        const QString M = "# Annotations export (TIME)\n\n";
        const QString mA = QString::fromUtf8("## Alpha \u2014 Ann Author\n\n"),
                      mB = QString::fromUtf8("## Beta \u2014 Bob Writer\n\n");
        const QString ma3 = "> Alpha three\n\n*p. 3, " + shown(1000400) + "*\n\nn a3\n\n",
                      ma12 = "> Alpha twelve\n\n*p. 12, " + shown(1000100) + "*\n\n",
                      mb5 = "> Beta five\n\n*p. 5, " + shown(1000300) + "*\n\nnote b5\n\n",
                      mb9 = "> Beta nine\n\n*p. 9, " + shown(1000200) + "*\n\nn b9\n\n";
        row("md viewer", 3, 0, M + mA + ma3 + mB + mb5 + mb9 + mA + ma12);
        row("md title/page", 3, 3, M + mA + ma3 + ma12 + mB + mb5 + mb9);
    }

    void export_wholeDocument()
    {
        QFETCH(int, format);
        QFETCH(int, mode);
        QFETCH(bool, contextMenu);
        QFETCH(QString, separator);
        QFETCH(QString, expected);
        if (!separator.isNull())
            setSetting(settingskeys::exporterCsvSeparator, separator);
        const auto viewer = fixtureViewer();
        viewer->selectRows({2, 0, 3, 1});

        const QString text =
            toClipboard(*viewer, export_format(format), export_sortmode(mode), contextMenu);
        QCOMPARE(withoutTime(text), expected);
        QCOMPARE(m_message, QStringLiteral("Exported 4 highlights to clipboard"));
    }

    void markdown_hostileTexts_stayLiteralText()
    {
        Viewer viewer({note(1, 1000000, 4, 1, "# not a heading\n1. not a list\n- nor this\n===",
                            "> no quote\n\n2) no list"),
                       note(1, 1000001, 5, 2,
                            "[x](y) `code` a|b *em* _em_ <b> &amp; C#\r\n\r\n\r\n    no code\\",
                            "")},
                      {{1, {1, 0, "Title #", "<Eve> | [me]"}}});
        viewer.selectAll();
        const QString text = toClipboard(viewer, export_markdown, export_sort_title_page, true);
        const QString expected = QString::fromUtf8(
            "## Title \\# \u2014 \\<Eve\\> \\| \\[me\\]\n\n"
            "> \\# not a heading\\\n> 1\\. not a list\\\n> \\- nor this\\\n> \\===\n\n"
            "*p. 4, ") + shown(1000000) + QString::fromUtf8("*\n\n"
            "\\> no quote\n\n2\\) no list\n\n"
            "> \\[x\\](y) \\`code\\` a\\|b \\*em\\* \\_em\\_ \\<b\\> \\&amp; C\\#\n>\n"
            "> no code\\\\\n\n*p. 5, ") + shown(1000001) + QStringLiteral("*\n\n");
        QCOMPARE(text, expected);
    }

    void export_documentHeader_stampsExportTime()
    {
        const auto viewer = fixtureViewer();
        viewer->selectAll();
        const QDateTime before = QDateTime::currentDateTime().addMSecs(-999);
        const QString text = toClipboard(*viewer, export_plaintext, export_sort_viewer);
        const QDateTime after = QDateTime::currentDateTime();

        const QDateTime stamp =
            QDateTime::fromString(text.mid(20, 19), QStringLiteral("dd/MM/yyyy hh:mm:ss"));
        QVERIFY2(stamp.isValid(), qPrintable(text.left(60)));
        QVERIFY(stamp >= before && stamp <= after);
    }

    void notesInline_highlightFieldCarriesNote()
    {
        const auto viewer = fixtureViewer();
        viewer->model->notesInline = true;
        viewer->model->refreshAll();
        viewer->selectRows({0});

        const QString shownNote = viewer->proxy->index(0, 5).data().toString();
        const QString noteField = shownNote.isEmpty() ? QString() : "[" + shownNote + "]";
        QCOMPARE(toClipboard(*viewer, export_csv, export_sort_viewer),
                 "Author;Title;Page;Highlights;Notes\r\n"
                 "\"Ann Author\";\"Alpha\";3;\"Alpha three\n\n[n a3]\";\"" +
                     noteField + "\"\r\n");
    }

    void sortByDate_createdBeyond2038_staysInOrder_data()
    {
        QTest::addColumn<int>("mode");
        QTest::newRow("date") << int(export_sort_date);
        QTest::newRow("title/date") << int(export_sort_title_date);
    }

    void sortByDate_createdBeyond2038_staysInOrder()
    {
        QFETCH(int, mode);
        // 4000000000 s (2096) wraps to a negative 32-bit number and would come first.
        Viewer viewer({note(1, 4000000000, 1, 1, "2096", ""), note(1, 2100000000, 2, 2, "2036", ""),
                       note(1, 1000000000, 3, 3, "2001", "")},
                      {{1, {1, 0, "T", "A"}}});
        viewer.proxy->dateTo = std::numeric_limits<qint64>::max();
        viewer.proxy->invalidateFilter();
        viewer.selectAll();

        QCOMPARE(toClipboard(viewer, export_csv, export_sortmode(mode)),
                 "Author;Title;Page;Highlights;Notes\r\n\"A\";\"T\";3;\"2001\";\"\"\r\n"
                 "\"A\";\"T\";2;\"2036\";\"\"\r\n\"A\";\"T\";1;\"2096\";\"\"\r\n");
    }

    // One annotation with these texts, on the clipboard and in a file.
    void insertedTexts_exportVerbatimOrEscaped_data()
    {
        QTest::addColumn<int>("format");
        QTest::addColumn<QString>("author");
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("highlight");
        QTest::addColumn<QString>("noteText");
        QTest::addColumn<QString>("expected");

        const QString csv = "Author;Title;Page;Highlights;Notes\r\n";
        const QString txt = "Annotations export (TIME)\r\n" + QString(40, '#') + "\r\n\r\n";
        const auto txtBook = [&](const QString &header, int rule, const QString &line) {
            return txt + "\r\n" + QString(rule, '=') + "\r\n" + header + "\r\n" +
                   QString(rule, '=') + "\r\n\r\n" + line + "\r\n";
        };
        const QString html = "<!DOCTYPE html>\r\n<html lang=\"en\"><head><title>Annotations export "
                             "(TIME) </title>\r\n<meta http-equiv=\"Content-Type\" "
                             "content=\"text/html;charset=UTF-8\">\r\n<style>table {width: 100%;} "
                             "td {vertical-align: top;}</style>\r\n</head>\r\n<body>\r\n";
        const QString columns = "<tr><th>Page</th><th>Highlight</th><th>Note</th></tr>\r\n";

        const auto row = [](const char *name, int format, const QString &author,
                            const QString &title, const QString &highlight, const QString &note,
                            const QString &expected) {
            QTest::newRow(name) << format << author << title << highlight << note << expected;
        };
        row("paragraph separator and tab", 2, "A", "T", "one\u2029two\tthree", "x\ty",
            csv + "\"A\";\"T\";1;\"one\u2029two\tthree\";\"[x\ty]\"\r\n");
        row("emoji and right-to-left", 0, "مؤلف", "שלום", "😀 👍🏽 ok", "עברית",
            txtBook("שלום (مؤلف)", 11, "😀 👍🏽 ok (p. 1) [עברית]"));
        row("empty texts", 0, "", "", "", "", txtBook(" ()", 3, " (p. 1) "));
        // The rule under a book header is as long as the header, up to 80.
        row("header of 80", 0, "A", QString(76, 't'), "h", "",
            txtBook(QString(76, 't') + " (A)", 80, "h (p. 1) "));
        row("header of 81", 0, "A", QString(77, 't'), "h", "",
            txtBook(QString(77, 't') + " (A)", 80, "h (p. 1) "));
        row("placeholders txt", 0, "%1", "%2", "%2 %3 %4", "%5%1",
            txtBook("%2 (%1)", 7, "%2 %3 %4 (p. 1) [%5%1]"));
        row("placeholders csv", 2, "%2", "%1", "%5", "%4",
            csv + "\"%2\";\"%1\";1;\"%5\";\"[%4]\"\r\n");
        row("html markup escaped", 1, "<b>A&B</b>", "Say \"hi\" </table>", "x < y && %2",
            "<script>alert(1)</script>",
            html +
                "<table><tr><th colspan=3>Say &quot;hi&quot; &lt;/table&gt; "
                "(&lt;b&gt;A&amp;B&lt;/b&gt;)</th></tr>\r\n" +
                columns +
                "<tr><td>1</td><td>x &lt; y &amp;&amp; "
                "%2</td><td>[&lt;script&gt;alert(1)&lt;/script&gt;]</td></tr>\r\n</table>\r\n"
                "</body></html>");
        row("csv quotes in every field", 2, "A \"a\"", "He said \"hi\"", "\"q\"", "n\"",
            csv + "\"A \"\"a\"\"\";\"He said \"\"hi\"\"\";1;\"\"\"q\"\"\";\"[n\"\"]\"\r\n");
    }

    void insertedTexts_exportVerbatimOrEscaped()
    {
        QFETCH(int, format);
        QFETCH(QString, author);
        QFETCH(QString, title);
        QFETCH(QString, highlight);
        QFETCH(QString, noteText);
        QFETCH(QString, expected);
        Viewer viewer({note(1, 1000, 1, 1, highlight, noteText)}, {{1, {1, 0, title, author}}});
        viewer.selectAll();

        QCOMPARE(withoutTime(toClipboard(viewer, export_format(format), export_sort_viewer)),
                 expected);
        const QString path = tmp("out.") + QStringList{"txt", "html", "csv"}.at(format);
        QCOMPARE(toFile(viewer, export_format(format), tmp("out")),
                 "Exported 1 highlights to " + path);
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(withoutTime(QString::fromUtf8(file.readAll())).toUtf8(), expected.toUtf8());
    }

    void fileExport_dialogStartsAtStoredPathWithExtension_data()
    {
        QTest::addColumn<QString>("stored");
        QTest::addColumn<int>("format");
        QTest::addColumn<QString>("startPath");
        QTest::newRow("nothing stored")
            << QString() << 2 << QDir::homePath() + QStringLiteral("/annotation-export.csv");
        QTest::newRow("stored txt, html chosen")
            << "/srv/ex/notes.txt" << 1 << "/srv/ex/notes.html";
        QTest::newRow("stored without extension") << "/srv/ex/notes" << 0 << "/srv/ex/notes.txt";
        QTest::newRow("markdown") << "/srv/ex/notes.txt" << 3 << "/srv/ex/notes.md";
    }

    void fileExport_dialogStartsAtStoredPathWithExtension()
    {
        QFETCH(QString, stored);
        QFETCH(int, format);
        QFETCH(QString, startPath);
        if (!stored.isNull())
            setSetting(settingskeys::pathsLastAnnExportfile, stored);
        const auto viewer = fixtureViewer();
        viewer->selectAll();
        FakePrompts prompts;

        const AnnotationExporter exporter(viewer->selection.get(), m_globals, export_file,
                                          export_format(format), export_sort_viewer, nullptr,
                                          false);
        QCOMPARE(prompts.choosers.size(), 1);
        QCOMPARE(prompts.choosers[0].dir, startPath);
    }

    void fileExport_writesFileAndRemembersPath()
    {
        const auto viewer = fixtureViewer();
        viewer->selectRows({3, 0});
        QFile old(tmp("mine.csv"));
        QVERIFY(old.open(QIODevice::WriteOnly) && old.write("a much longer previous export\n") > 0);
        old.close();

        const QString message = toFile(*viewer, export_csv, tmp("mine.txt"));

        QCOMPARE(message, "Exported 2 highlights to " + tmp("mine.csv"));
        QCOMPARE(setting(settingskeys::pathsLastAnnExportfile), tmp("mine.csv"));
        QVERIFY(old.open(QIODevice::ReadOnly));
        QCOMPARE(old.readAll(),
                 QByteArray("Author;Title;Page;Highlights;Notes\r\n"
                            "\"Ann Author\";\"Alpha\";3;\"Alpha three\";\"[n a3]\"\r\n"
                            "\"Ann Author\";\"Alpha\";12;\"Alpha twelve\";\"\"\r\n"));
        QVERIFY(!QFile::exists(tmp("mine.txt")));
    }

    // Cancelled, a folder in the way, a missing folder: no message and no file.
    void fileExport_notWritten_noMessageNoFile_data()
    {
        QTest::addColumn<QString>("answer");
        QTest::addColumn<QString>("directory");
        QTest::newRow("cancelled") << QString() << QString();
        QTest::newRow("directory") << "taken.txt"
                                   << "taken.html";
        QTest::newRow("missing folder") << "missing/out" << QString();
    }

    void fileExport_notWritten_noMessageNoFile()
    {
        QFETCH(QString, answer);
        QFETCH(QString, directory);
        setSetting(settingskeys::pathsLastAnnExportfile, tmp("before"));
        QStringList leftInFolder{"marlox.conf"};
        if (!directory.isNull()) {
            QVERIFY(QDir(m_dir->path()).mkdir(directory));
            leftInFolder.append(directory);
        }
        const auto viewer = fixtureViewer();
        viewer->selectAll();

        QCOMPARE(toFile(*viewer, export_html, answer.isNull() ? answer : tmp(answer)), QString());
        const QDir::Filters all = QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot;
        QCOMPARE(QDir(m_dir->path()).entryList(all), leftInFolder);
        if (!directory.isNull())
            QVERIFY(QDir(tmp(directory)).entryList(all).isEmpty());
        if (answer.isNull()) // a cancelled chooser keeps the stored path
            QCOMPARE(setting(settingskeys::pathsLastAnnExportfile), tmp("before"));
    }

    // Rectangles (column, row, width, height) of the proxy selected, then deselected.
    void selectedRows_matchesSelectionModel_data()
    {
        QTest::addColumn<QVector<QRect>>("selected");
        QTest::addColumn<QVector<QRect>>("deselected");
        const auto row = [](int r) { return QRect(0, r, 7, 1); };
        QTest::newRow("rows in click order")
            << QVector<QRect>{row(2), row(0), row(3)} << QVector<QRect>{};
        QTest::newRow("row pieced from columns")
            << QVector<QRect>{row(3), QRect(4, 1, 3, 1), QRect(0, 1, 4, 1)} << QVector<QRect>{};
        QTest::newRow("row missing a column")
            << QVector<QRect>{row(3), QRect(0, 2, 6, 1), row(1)} << QVector<QRect>{};
        QTest::newRow("cell deselected from a block")
            << QVector<QRect>{QRect(0, 0, 7, 4)} << QVector<QRect>{QRect(5, 2, 1, 1)};
        // Seeded random blocks, some taken away again.
        std::mt19937 random(20240611);
        const auto block = [&random] {
            std::uniform_int_distribution<int> column(0, 6), rowAt(0, 3);
            const int left = column(random), top = rowAt(random);
            return QRect(left, top, std::uniform_int_distribution<int>(1, 7 - left)(random),
                         std::uniform_int_distribution<int>(1, 4 - top)(random));
        };
        for (int i = 0; i < 200; ++i) {
            QVector<QRect> selected, deselected;
            for (int n = 1 + int(random() % 4); n > 0; --n)
                selected.append(block());
            for (int n = int(random() % 3); n > 0; --n)
                deselected.append(block());
            QTest::addRow("random %d", i) << selected << deselected;
        }
    }

    void selectedRows_matchesSelectionModel()
    {
        QFETCH(QVector<QRect>, selected);
        QFETCH(QVector<QRect>, deselected);
        const auto viewer = fixtureViewer();
        const auto apply = [&](const QRect &rect, QItemSelectionModel::SelectionFlags flags) {
            viewer->selection->select(
                QItemSelection(viewer->proxy->index(rect.top(), rect.left()),
                               viewer->proxy->index(rect.bottom(), rect.right())),
                flags);
        };
        for (const QRect &rect : selected)
            apply(rect, QItemSelectionModel::Select);
        for (const QRect &rect : deselected)
            apply(rect, QItemSelectionModel::Deselect);

        QCOMPARE(ExportFormatter::selectedRows(*viewer->selection),
                 viewer->selection->selectedRows(0));
    }

    void manySingleRowRanges_allRowsExported()
    {
        // Ctrl-clicked rows become one range each; testing every row against every range
        // would not finish.
        const int count = 100000;
        std::vector<AnnotationRecord> annotations;
        annotations.reserve(count);
        std::map<int32_t, BookInfo> books;
        for (int i = 0; i < count; ++i) {
            const int book = i % 50;
            books.emplace(book, BookInfo{book, book, QStringLiteral("Title %1").arg(book), "A"});
            annotations.push_back(note(book, 1000000 + i, i % 900, i,
                                       QStringLiteral("Text %1").arg(i),
                                       i % 3 ? QString() : QStringLiteral("n")));
        }
        Viewer viewer(std::move(annotations), std::move(books), false);
        QItemSelection ranges;
        for (int r = count - 1; r >= 0; r -= 2)
            ranges.append(
                QItemSelectionRange(viewer.proxy->index(r, 0), viewer.proxy->index(r, 6)));
        viewer.selection->select(ranges, QItemSelectionModel::Select);

        const QString message = toFile(viewer, export_html, tmp("all"));
        QCOMPARE(message, "Exported 50000 highlights to " + tmp("all.html"));
        QFile file(tmp("all.html"));
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray bytes = file.readAll();
        QCOMPARE(bytes.count("<tr><td>"), 50000);
        QVERIFY(bytes.endsWith("</table>\r\n</body></html>"));
    }

private:
    QString toClipboard(Viewer &viewer, export_format format, export_sortmode mode,
                        bool fromContextMenu = false)
    {
        const AnnotationExporter exporter(viewer.selection.get(), m_globals, export_clipboard,
                                          format, mode, nullptr, fromContextMenu);
        m_message = exporter.message();
        const QMimeData *mime = QGuiApplication::clipboard()->mimeData();
        // HTML goes up as text and as HTML of one mime object, the others as text alone.
        if (format == export_html && mime->html() != mime->text())
            return QStringLiteral("html part differs: ") + mime->html();
        if (format != export_html && mime->hasHtml())
            return QStringLiteral("unexpected html part");
        return mime->text();
    }

    QString toFile(Viewer &viewer, export_format format, const QString &answer)
    {
        FakePrompts prompts;
        prompts.setNextFileName(answer);
        const AnnotationExporter exporter(viewer.selection.get(), m_globals, export_file, format,
                                          export_sort_viewer, nullptr, false);
        return exporter.message();
    }

    QString tmp(const QString &name) const { return m_dir->filePath(name); }
    QString setting(const QString &key) const
    {
        return readString(*openIniSettings(m_globals->settingsGeneral), key);
    }
    void setSetting(const QString &key, const QString &value)
    {
        openIniSettings(m_globals->settingsGeneral)->setValue(key, value);
    }

    std::unique_ptr<QTemporaryDir> m_dir;
    std::shared_ptr<globalsClass> m_globals;
    QString m_message;
};

QTEST_MAIN(tst_annotationexporter)
#include "tst_annotationexporter.moc"
