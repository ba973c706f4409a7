// Exporting the viewer's selected rows: whole documents per format and order, escaping of the
// reader's texts, writing the file, the clipboard.

#include "core/globalsclass.h"
#include "core/settingsstore.h"
#include "support/fakeprompts.h"
#include "support/testenv.h"
#include "support/viewerrig.h"
#include "viewer/annotationexporter.h"
#include "viewer/exportformatter.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QItemSelectionModel>
#include <QMimeData>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>
#include <random>

namespace {

/// The viewer's models over a reader, with a selection on the proxy as the table view has.
struct Viewer : ViewerRig
{
    Viewer(std::vector<AnnotationRecord> annotations, std::map<int32_t, BookInfo> books)
        : ViewerRig(std::make_shared<Reader>(DetectionRecord{}))
    {
        reader->annotations = std::move(annotations);
        reader->books = std::move(books);
        table.reload();
    }
    void select(int top, int bottom)
    {
        selection.select(QItemSelection(proxy.index(top, 0), proxy.index(bottom, 6)),
                         QItemSelectionModel::Select);
    }
    void selectAll() { select(0, proxy.rowCount() - 1); }

    QItemSelectionModel selection{&proxy};
};

const std::map<int32_t, BookInfo> twoBooks{{10, {10, 0, "Alpha", "Ann Author"}},
                                           {20, {20, 1, "Beta", "Bob Writer"}}};
// a3 was made in 2096, beyond what 32 bits of seconds hold: it must stay the newest.
const std::map<QString, AnnotationRecord> fixtureRows{
    {"a3", annotationAt(1, 10, 4000000000, 3, "Alpha three", "n a3")},
    {"a12", annotationAt(2, 10, 1000100, 12, "Alpha twelve")},
    {"b5", annotationAt(3, 20, 1000300, 5, "Beta five", "note b5")},
    {"b9", annotationAt(4, 20, 1000200, 9, "Beta nine", "n b9")}};

/// Shown newest first: a3 (Alpha p. 3), b5, b9, a12 (no note); the bookmark stays hidden.
std::unique_ptr<Viewer> fixtureViewer()
{
    std::vector<AnnotationRecord> rows{annotationAt(5, 10, 1000500, 7, "Bookmark")};
    rows.front().isBookmark = true;
    for (const auto &entry : fixtureRows)
        rows.push_back(entry.second);
    auto viewer = std::make_unique<Viewer>(rows, twoBooks);
    viewer->proxy.setSortRole(Qt::UserRole);
    viewer->proxy.sort(0, Qt::DescendingOrder);
    return viewer;
}

QString withoutTime(QString text)
{
    static const QRegularExpression stamp(
        QStringLiteral("\\(\\d\\d/\\d\\d/\\d{4} \\d\\d:\\d\\d:\\d\\d\\)"));
    return text.replace(stamp, QStringLiteral("(TIME)"));
}

/// The whole expected document of `rows` (texts as they must appear) in the order given;
/// consecutive rows of one book share its header. The export time reads "(TIME)".
QString document(int format, const std::vector<AnnotationRecord> &rows,
                 const std::map<int32_t, BookInfo> &books, const QString &sep = ";")
{
    static const QStringList starts{
        "Annotations export (TIME)\r\n" + QString(40, '#') + "\r\n\r\n",
        "<!DOCTYPE html>\r\n<html lang=\"en\"><head><title>Annotations export (TIME) </title>\r\n"
        "<meta http-equiv=\"Content-Type\" content=\"text/html;charset=UTF-8\">\r\n<style>table "
        "{width: 100%;} td {vertical-align: top;}</style>\r\n</head>\r\n<body>\r\n",
        "Author;Title;Page;Highlights;Notes\r\n", "# Annotations export (TIME)\n\n"};
    QString out = QString(starts.at(format)).replace(";", sep);
    for (size_t i = 0; i < rows.size(); ++i) {
        const AnnotationRecord &row = rows[i];
        const BookInfo &info = books.at(row.parentId);
        const QString page = QString::number(row.page), text = row.highlightText,
                      noteText = row.noteText.isEmpty() ? "" : "[" + row.noteText + "]",
                      header = info.title + " (" + info.author + ")",
                      rule = QString(std::min(int(header.size()), 80), '='),
                      shown = QLocale::c().toString(QDateTime::fromSecsSinceEpoch(row.created),
                                                    QStringLiteral("d MMM yyyy hh:mm"));
        const QStringList bookStarts{
            "\r\n" + rule + "\r\n" + header + "\r\n" + rule + "\r\n\r\n",
            (i > 0 ? "</table>\r\n" : "") + QString("<table><tr><th colspan=3>") + header +
                "</th></tr>\r\n<tr><th>Page</th><th>Highlight</th><th>Note</th></tr>\r\n",
            "", "## " + info.title + QString::fromUtf8(" \u2014 ") + info.author + "\n\n"};
        if (i == 0 || rows[i - 1].parentId != row.parentId)
            out += bookStarts.at(format);
        else if (format == 0)
            out += "\r\n---\r\n\r\n";
        const QStringList csv{"\"" + info.author + "\"", "\"" + info.title + "\"", page,
                              "\"" + text + "\"", "\"" + noteText + "\""};
        out += QStringList{text + " (p. " + page + ") " + noteText + "\r\n",
                           "<tr><td>" + page + "</td><td>" + text + "</td><td>" + noteText +
                               "</td></tr>\r\n",
                           csv.join(sep) + "\r\n",
                           "> " + text + "\n\n*p. " + page + ", " + shown + "*\n\n" +
                               (row.noteText.isEmpty() ? "" : row.noteText + "\n\n")}
                   .at(format);
    }
    return format == 1 ? out + "</table>\r\n</body></html>" : out;
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

    void export_wholeDocument_data()
    {
        QTest::addColumn<int>("format");
        QTest::addColumn<int>("mode");
        QTest::addColumn<QString>("separator"); // null: none stored
        QTest::addColumn<QString>("order");
        const auto row = [](const char *name, int format, int mode, const char *order,
                            const QString &separator = QString()) {
            QTest::newRow(name) << format << mode << separator << order;
        };
        row("txt viewer", 0, 0, "a3 b5 b9 a12");
        row("html selection", 1, 4, "b9 a3 a12 b5");
        row("csv date", 2, 1, "a12 b9 b5 a3");
        row("csv title/date", 2, 2, "a12 a3 b9 b5");
        row("csv title/page", 2, 3, "a3 a12 b5 b9");
        row("csv separator %2", 2, 0, "a3 b5 b9 a12", "%2");
        row("md viewer", 3, 0, "a3 b5 b9 a12");
    }

    void export_wholeDocument()
    {
        QFETCH(int, format);
        QFETCH(int, mode);
        QFETCH(QString, separator);
        QFETCH(QString, order);
        if (!separator.isNull())
            openIniSettings(m_globals->settingsGeneral)
                ->setValue(settingskeys::exporterCsvSeparator, separator);
        const auto viewer = fixtureViewer();
        for (const int row : {2, 0, 3, 1})
            viewer->select(row, row);
        std::vector<AnnotationRecord> rows;
        for (const QString &name : order.split(' '))
            rows.push_back(fixtureRows.at(name));

        const QString text = toClipboard(*viewer, export_format(format), export_sortmode(mode));
        QCOMPARE(withoutTime(text),
                 document(format, rows, twoBooks, separator.isNull() ? ";" : separator));
    }

    // One annotation with these texts (author, title, highlight, note), on the clipboard and
    // in a file; `shown` holds them as the document must show them, when they differ.
    void insertedTexts_exportVerbatimOrEscaped_data()
    {
        QTest::addColumn<int>("format");
        QTest::addColumn<QStringList>("texts");
        QTest::addColumn<QStringList>("shown");
        const auto row = [](const char *name, int format, const QStringList &texts,
                            const QStringList &shown = {}) {
            QTest::newRow(name) << format << texts << (shown.isEmpty() ? texts : shown);
        };
        row("paragraph separator and tab", 2, {"A", "T", "one\u2029two\tthree", "x\ty"});
        row("placeholders txt", 0, {"%1", "%2", "%2 %3 %4", "%5%1"});
        row("html markup escaped", 1,
            {"<b>A&B</b>", "Say \"hi\" </table>", "x < y && %2", "<script>alert(1)</script>"},
            {"&lt;b&gt;A&amp;B&lt;/b&gt;", "Say &quot;hi&quot; &lt;/table&gt;",
             "x &lt; y &amp;&amp; %2", "&lt;script&gt;alert(1)&lt;/script&gt;"});
        row("csv quotes in every field", 2, {"A \"a\"", "He said \"hi\"", "\"q\"", "n\""},
            {"A \"\"a\"\"", "He said \"\"hi\"\"", "\"\"q\"\"", "n\"\""});
        // Nothing the reader's texts hold may become Markdown structure.
        row("markdown hostile", 3,
            {"<Eve> | [me]", "Title #",
             "# not a heading\n1. not a list\n- nor this\n===\n[x](y) `code` a|b *em* _em_ <b> "
             "&amp; C#\r\n\r\n\r\n    no code\\",
             "> no quote\n\n2) no list"},
            {"\\<Eve\\> \\| \\[me\\]", "Title \\#",
             "\\# not a heading\\\n> 1\\. not a list\\\n> \\- nor this\\\n> \\===\\\n> \\[x\\](y) "
             "\\`code\\` a\\|b \\*em\\* \\_em\\_ \\<b\\> \\&amp; C\\#\n>\n> no code\\\\",
             "\\> no quote\n\n2\\) no list"});
    }

    void insertedTexts_exportVerbatimOrEscaped()
    {
        QFETCH(int, format);
        QFETCH(QStringList, texts);
        QFETCH(QStringList, shown);
        const auto one = [](const QStringList &t) {
            AnnotationRecord record = annotationAt(1, 1, 1000, 1, "");
            record.highlightText = t[2];
            record.noteText = t[3];
            return std::make_pair(std::vector<AnnotationRecord>{record},
                                  std::map<int32_t, BookInfo>{{1, {1, 0, t[1], t[0]}}});
        };
        const QString expected = document(format, one(shown).first, one(shown).second);
        Viewer viewer(one(texts).first, one(texts).second);
        viewer.selectAll();

        QCOMPARE(withoutTime(toClipboard(viewer, export_format(format), export_sort_viewer)),
                 expected);
        // In a file: over a longer older one, with the format's extension for the one typed.
        const QString path = tmp("out.") + QStringList{"txt", "html", "csv", "md"}.at(format);
        QVERIFY(testenv::writeFile(path.toStdString(), QByteArray(5000, 'x')));
        QCOMPARE(toFile(viewer, export_format(format), tmp("out.txt")),
                 "Exported 1 highlights to " + path);
        QCOMPARE(withoutTime(QString::fromUtf8(testenv::readFile(path.toStdString()))), expected);
        QVERIFY(format == 0 || !QFile::exists(tmp("out.txt")));
    }

    // Cancelled, a folder in the way, a missing folder: no message and no file.
    void fileExport_notWritten_noMessageNoFile_data()
    {
        QTest::addColumn<QString>("answer");
        QTest::newRow("cancelled") << QString();
        QTest::newRow("folder in the way") << "out/taken.txt"; // taken.html is a folder
        QTest::newRow("missing folder") << "out/missing/out";
    }

    void fileExport_notWritten_noMessageNoFile()
    {
        QFETCH(QString, answer);
        QVERIFY(QDir(m_dir->path()).mkpath("out/taken.html"));
        const auto viewer = fixtureViewer();
        viewer->selectAll();

        QCOMPARE(toFile(*viewer, export_html, answer.isNull() ? answer : tmp(answer)), QString());
        const QDir::Filters all = QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot;
        QCOMPARE(QDir(tmp("out")).entryList(all), QStringList({"taken.html"}));
        QVERIFY(QDir(tmp("out/taken.html")).entryList(all).isEmpty());
    }

    // Seeded random blocks of the proxy selected, some taken away again: rows pieced from
    // column ranges, cells deselected from a block.
    void selectedRows_matchesSelectionModel()
    {
        const auto viewer = fixtureViewer();
        QItemSelectionModel &selection = viewer->selection;
        std::mt19937 random(20240611);
        const auto block = [&random, &viewer] { // between two random corners
            const int rows[] = {int(random() % 4), int(random() % 4)};
            const int columns[] = {int(random() % 7), int(random() % 7)};
            return QItemSelection(viewer->proxy.index(rows[0], columns[0]),
                                  viewer->proxy.index(rows[1], columns[1]));
        };
        for (int i = 0; i < 200; ++i) {
            selection.clear();
            for (int n = 1 + int(random() % 4); n > 0; --n)
                selection.select(block(), QItemSelectionModel::Select);
            for (int n = int(random() % 3); n > 0; --n)
                selection.select(block(), QItemSelectionModel::Deselect);
            QCOMPARE(ExportFormatter::selectedRows(selection), selection.selectedRows(0));
        }
    }

private:
    QString toClipboard(Viewer &viewer, export_format format, export_sortmode mode)
    {
        const AnnotationExporter exporter(&viewer.selection, m_globals, export_clipboard, format,
                                          mode, nullptr, false);
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
        const AnnotationExporter exporter(&viewer.selection, m_globals, export_file, format,
                                          export_sort_viewer, nullptr, false);
        return exporter.message();
    }

    QString tmp(const QString &name) const { return m_dir->filePath(name); }

    std::unique_ptr<QTemporaryDir> m_dir;
    std::shared_ptr<globalsClass> m_globals;
};

QTEST_MAIN(tst_annotationexporter)
#include "tst_annotationexporter.moc"
