#include "benchoptions.h"
#include "booksdbgenerator.h"

#include "database/profileinfo.h"
#include "readers/reader.h"
#include "viewer/annotationtable.h"
#include "viewer/annotationtablesortfilterproxymodel.h"
#include "viewer/exportformatter.h"
#include "viewer/texteditdelegate.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QApplication>
#include <QDateTime>
#include <QModelIndexList>
#include <QRegularExpression>
#include <QTableView>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <limits>
#include <memory>
#include <numeric>
#include <string>
#include <utility>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr double filterGoal = 3.0;
constexpr double sortGoal = 5.0;
constexpr double exportGoal = 3.0;
constexpr double openGoal = 1.5;

struct Comparison
{
    std::vector<double> measured;
    std::vector<double> floor;

    static double best(const std::vector<double> &values)
    {
        return *std::min_element(values.begin(), values.end());
    }
    static std::string milliseconds(const std::vector<double> &values)
    {
        std::string text;
        for (const double value : values) {
            char buffer[32];
            std::snprintf(buffer, sizeof buffer, "%s%.1f", text.empty() ? "" : " ", value * 1e3);
            text += buffer;
        }
        return text;
    }
};

bool report(const char *name, const Comparison &c, double goal, const std::string &note)
{
    const double measured = Comparison::best(c.measured);
    const double floor = Comparison::best(c.floor);
    const double ratio = measured / floor;
    const bool met = ratio <= goal;
    std::printf("%-40s %9.2f ms   floor %8.2f ms   ratio %6.2f   (goal: at most %g)   %s%s\n",
                name, measured * 1e3, floor * 1e3, ratio, goal, met ? "PASS" : "MISS",
                note.c_str());
    std::printf("%-40s runs, ms: measured [%s], floor [%s]\n", "",
                Comparison::milliseconds(c.measured).c_str(),
                Comparison::milliseconds(c.floor).c_str());
    return met;
}

bool needsHtmlEscape(const QString &text)
{
    for (const QChar c : text) {
        const ushort u = c.unicode();
        if (u == '<' || u == '>' || u == '&' || u == '"')
            return true;
    }
    return false;
}

void appendEscaped(QString &out, const QString &text)
{
    out += needsHtmlEscape(text) ? text.toHtmlEscaped() : text;
}

// The HTML export written straight from the records, in `order`: the floor of the export.
QString htmlFromRecords(const Reader &reader, const std::vector<int> &order,
                        const QDateTime &exportTime)
{
    QString out;
    out.reserve(static_cast<int>(order.size()) * 192 + 1024);
    out += QLatin1String("<!DOCTYPE html>\r\n<html lang=\"en\"><head><title>Annotations export (");
    out += exportTime.toString(QLatin1String("dd/MM/yyyy hh:mm:ss"));
    out += QLatin1String(
        ") </title>\r\n<meta http-equiv=\"Content-Type\" content=\"text/html;charset=UTF-8\">\r\n"
        "<style>table {width: 100%;} td {vertical-align: top;}</style>\r\n</head>\r\n<body>\r\n");
    const BookInfo *previous = nullptr;
    bool first = true;
    for (const int row : order) {
        const AnnotationRecord &a = reader.annotations[static_cast<size_t>(row)];
        const auto found = reader.books.find(a.parentId);
        const BookInfo *book = found == reader.books.end() ? nullptr : &found->second;
        if (first || book != previous) {
            if (!first)
                out += QLatin1String("</table>\r\n");
            out += QLatin1String("<table><tr><th colspan=3>");
            appendEscaped(out, book ? book->title : QString::number(a.parentId));
            out += QLatin1String(" (");
            appendEscaped(out, book ? book->author : QString::number(a.parentId));
            out += QLatin1String(")</th></tr>\r\n<tr><th>Page</th><th>Highlight</th>"
                                 "<th>Note</th></tr>\r\n");
        }
        out += QLatin1String("<tr><td>");
        out += QString::number(a.page);
        out += QLatin1String("</td><td>");
        appendEscaped(out, a.highlightText);
        out += QLatin1String("</td><td>");
        if (!a.noteText.isEmpty()) {
            out += QLatin1Char('[');
            appendEscaped(out, a.noteText);
            out += QLatin1Char(']');
        }
        out += QLatin1String("</td></tr>\r\n");
        previous = book;
        first = false;
    }
    if (!first)
        out += QLatin1String("</table>\r\n");
    out += QLatin1String("</body></html>");
    return out;
}

int fail(const std::string &what)
{
    std::fprintf(stderr, "bench_viewer: %s\n", what.c_str());
    return 1;
}

} // namespace

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    qInstallMessageHandler(dropDebugMessages);

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Times the annotation viewer's text filter, two-key sorts and HTML export over one "
        "profile's annotations, each against a plain loop over the same records, and the "
        "way from selecting a reader to its sorted table against the import alone."));
    parser.addHelpOption();
    QTemporaryDir scratch;
    BenchOptions options;
    if (!prepareBenchDatabase(parser, app, "bench_viewer", scratch, options))
        return 2;
    const fs::path db = options.db;
    const int runs = options.runs;

    DetectionRecord detection;
    detection.serial = "bench";
    auto reader = std::make_shared<Reader>(detection);
    ProfileInfo profile;
    profile.name = "root";
    profile.dbPath = db;
    reader->profiles.push_back(profile);
    if (!reader->getAnnotations(0))
        return fail("cannot import " + db.string());
    const std::vector<AnnotationRecord> &records = reader->annotations;
    const int rowCount = static_cast<int>(records.size());
    if (rowCount == 0)
        return fail(db.string() + " holds no annotations");

    annotationTable table(reader);
    annotationTableSortFilterProxyModel proxy;
    proxy.setSourceModel(&table);
    proxy.setSortRole(Qt::UserRole);
    // Every row counts: no bookmark, date or page bound hides any.
    proxy.setShowBookmarks(true);
    proxy.dateFrom = std::numeric_limits<qint64>::min();
    proxy.dateTo = std::numeric_limits<qint64>::max();
    proxy.pageFrom = std::numeric_limits<int32_t>::min();
    proxy.pageTo = std::numeric_limits<int32_t>::max();
    proxy.invalidateFilter();
    if (proxy.rowCount() != rowCount)
        return fail("the proxy shows " + std::to_string(proxy.rowCount()) + " of " +
                    std::to_string(rowCount) + " rows");

    std::printf("Marlox viewer benchmark: best of %d runs each, against plain loops over the "
                "same records in the same run\n",
                runs);
    std::printf("database  %s: %zu books, %d annotations\n\n", db.c_str(), reader->books.size(),
                rowCount);
    bool allMet = true;
    bool anyMismatch = false;

    // ---- text filter ----
    const QString patterns[] = {QStringLiteral("the (river|garden)|remember(ed|ing)"),
                                QStringLiteral("silence")};
    for (const QString &pattern : patterns) {
        Comparison c;
        int floorMatches = 0;
        int proxyMatches = 0;
        for (int i = 0; i < runs; ++i) {
            proxy.setSearchPattern(QString(), true);
            c.measured.push_back(seconds([&] { proxy.setSearchPattern(pattern, true); }));
            proxyMatches = proxy.rowCount();
            c.floor.push_back(seconds([&] {
                QRegularExpression expression(pattern, QRegularExpression::CaseInsensitiveOption);
                expression.optimize();
                int matches = 0;
                for (const AnnotationRecord &a : records) {
                    if (expression.match(a.highlightText).hasMatch() ||
                        expression.match(a.noteText).hasMatch())
                        ++matches;
                }
                floorMatches = matches;
            }));
        }
        std::string note = " (" + std::to_string(proxyMatches) + " rows)";
        if (proxyMatches != floorMatches) {
            note += " MISMATCH: the loop matched " + std::to_string(floorMatches);
            anyMismatch = true;
        }
        const std::string name = "filter \"" + pattern.toStdString() + "\"";
        allMet &= report(name.c_str(), c, filterGoal, note);
    }
    proxy.setSearchPattern(QString(), true);

    // ---- two-key sorts ----
    const auto titleIndex = [&](const AnnotationRecord &a) -> qint64 {
        const auto found = reader->books.find(a.parentId);
        return found == reader->books.end() ? a.positionKey : found->second.titleSortIndex;
    };
    struct SortCase
    {
        const char *name;
        int firstColumn;
        std::function<qint64(const AnnotationRecord &)> secondKey;
    };
    const SortCase sorts[] = {
        {"sort title, then date", annotationTable::columnDate,
         [](const AnnotationRecord &a) -> qint64 { return a.created; }},
        {"sort title, then page", annotationTable::columnPage,
         [](const AnnotationRecord &a) -> qint64 { return a.positionKey; }},
    };
    for (const SortCase &sortCase : sorts) {
        Comparison c;
        std::vector<int> order;
        for (int i = 0; i < runs; ++i) {
            proxy.sort(-1);
            c.measured.push_back(seconds([&] {
                proxy.sort(sortCase.firstColumn, Qt::AscendingOrder);
                proxy.sort(annotationTable::columnTitle, Qt::AscendingOrder);
            }));
            c.floor.push_back(seconds([&] {
                std::vector<std::pair<qint64, qint64>> keys;
                keys.reserve(records.size());
                for (const AnnotationRecord &a : records)
                    keys.emplace_back(titleIndex(a), sortCase.secondKey(a));
                order.resize(records.size());
                std::iota(order.begin(), order.end(), 0);
                std::stable_sort(order.begin(), order.end(), [&keys](int left, int right) {
                    return keys[static_cast<size_t>(left)] < keys[static_cast<size_t>(right)];
                });
            }));
        }
        std::string note;
        int firstDifference = -1;
        for (int row = 0; row < rowCount && firstDifference < 0; ++row) {
            if (proxy.mapToSource(proxy.index(row, 0)).row() != order[static_cast<size_t>(row)])
                firstDifference = row;
        }
        if (proxy.rowCount() != rowCount || firstDifference >= 0) {
            note = " MISMATCH: the proxy's order differs from std::stable_sort's at row " +
                   std::to_string(firstDifference);
            anyMismatch = true;
        }
        allMet &= report(sortCase.name, c, sortGoal, note);
    }

    // ---- HTML export in the viewer's title/date order ----
    proxy.sort(-1);
    proxy.sort(annotationTable::columnDate, Qt::AscendingOrder);
    proxy.sort(annotationTable::columnTitle, Qt::AscendingOrder);
    QModelIndexList rows;
    rows.reserve(proxy.rowCount());
    std::vector<int> viewerOrder;
    viewerOrder.reserve(static_cast<size_t>(proxy.rowCount()));
    for (int row = 0; row < proxy.rowCount(); ++row) {
        const QModelIndex index = proxy.index(row, 0);
        rows.append(index);
        viewerOrder.push_back(proxy.mapToSource(index).row());
    }
    {
        const QDateTime exportTime = QDateTime::currentDateTime();
        const ExportFormatter formatter(export_html);
        Comparison c;
        QString exported;
        QString direct;
        for (int i = 0; i < runs; ++i) {
            exported.clear();
            direct.clear();
            c.measured.push_back(
                seconds([&] { exported = formatter.text(rows, exportTime, true); }));
            c.floor.push_back(
                seconds([&] { direct = htmlFromRecords(*reader, viewerOrder, exportTime); }));
        }
        char size[64];
        std::snprintf(size, sizeof size, " (%.1f MB as UTF-8)",
                      static_cast<double>(exported.toUtf8().size()) / 1e6);
        std::string note = size;
        if (exported != direct) {
            int at = 0;
            while (at < exported.size() && at < direct.size() && exported.at(at) == direct.at(at))
                ++at;
            note += " MISMATCH: the texts differ from character " + std::to_string(at);
            anyMismatch = true;
        }
        allMet &= report("HTML export (title, date order)", c, exportGoal, note);
    }

    // ---- selecting a reader: import, model, proxy, first sort and row heights ----
    {
        const auto freshReader = [&] {
            auto fresh = std::make_shared<Reader>(detection);
            fresh->profiles.push_back(profile);
            return fresh;
        };
        QTableView view;
        view.resize(1200, 800);
        TextEditDelegate delegate;
        Comparison c;
        int shownRows = 0;
        for (int i = 0; i < runs; ++i) {
            c.floor.push_back(seconds([&] { freshReader()->getAnnotations(0); }));
            std::shared_ptr<Reader> opened;
            std::unique_ptr<annotationTable> model;
            std::unique_ptr<annotationTableSortFilterProxyModel> shown;
            // As the window populates its viewer; the models are released outside the clock,
            // as the window keeps them until the next reader.
            c.measured.push_back(seconds([&] {
                opened = freshReader();
                if (!opened->getAnnotations(0))
                    return;
                model = std::make_unique<annotationTable>(opened);
                shown = std::make_unique<annotationTableSortFilterProxyModel>();
                shown->setSortRole(Qt::UserRole);
                shown->setSourceModel(model.get());
                view.setModel(shown.get());
                view.setItemDelegateForColumn(annotationTable::columnHighlight, &delegate);
                view.setItemDelegateForColumn(annotationTable::columnNote, &delegate);
                view.sortByColumn(annotationTable::columnDate, Qt::AscendingOrder);
                shownRows = shown->rowCount();
                for (int row = 0; row < std::min(50, shownRows); ++row)
                    view.resizeRowToContents(row);
                for (int row = std::max(0, shownRows - 25); row < shownRows; ++row)
                    view.resizeRowToContents(row);
            }));
            view.setModel(nullptr);
        }
        const std::string note = " (" + std::to_string(shownRows) + " rows shown)";
        allMet &= report("select reader to sorted table / import", c, openGoal, note);
    }

    std::printf("\n%s%s\n", allMet ? "all goals met" : "some goals missed",
                anyMismatch ? "; MISMATCH in the results" : "");
    return anyMismatch ? 1 : 0;
}
