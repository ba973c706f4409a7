// Profile matching and the classification of reading progress, as plain tables.

#include "backup/transferprogress.h"

#include <QtTest>

Q_DECLARE_METATYPE(std::vector<ExplorerBook>)

namespace {

ProfileProgress entry(int profile, int cpage)
{
    ProfileProgress p;
    p.profileId = p.mappedProfileId = profile;
    p.cpage = cpage;
    p.npage = 200;
    return p;
}

// A book whose progress entries were recorded for a file of the book's size.
ExplorerBook book(int id, const QString &title, const QString &hash, uint64_t size,
                  std::vector<ProfileProgress> progress)
{
    ExplorerBook b;
    b.bookId = id;
    b.title = title;
    b.fastHash = hash;
    b.size = size;
    for (ProfileProgress &p : progress)
        p.size = size;
    b.progress = std::move(progress);
    return b;
}

// One line per group: "book/profile:proposal" where the proposal is "own", "src<bookId>" or
// "none", with "S" for each backup entry of another size; then the count of backup books
// that match no book.
QString describe(const TransferReview &review)
{
    QStringList lines;
    for (const ReviewBook &b : review.books) {
        for (const ProgressGroup &g : b.groups) {
            const ProgressCandidate *p = g.proposed < 0 ? nullptr : &g.entries[size_t(g.proposed)];
            QString line = QStringLiteral("%1/%2:").arg(b.book.bookId).arg(g.profileId);
            line += !p                   ? "none "
                    : p->isDestination() ? "own "
                                         : QString("src%1 ").arg(p->sourceBookId);
            for (const ProgressCandidate &e : g.entries)
                if (!e.isDestination())
                    line += e.sizeDiffers ? "S," : ",";
            lines << line;
        }
    }
    return lines.join(QLatin1Char(';')) + QStringLiteral(" +%1").arg(review.unmatched.size());
}

} // namespace

class tst_transferprogress : public QObject
{
    Q_OBJECT

private slots:
    void preselect_byNameThenId()
    {
        const std::vector<int32_t> got = preselectProfiles(
            {{1, "Anna"}, {2, "Ben"}, {3, "Old"}, {9, "C"}}, {{5, "Ben"}, {6, "Anna"}, {3, "X"}});
        QCOMPARE(QVector<int>(got.begin(), got.end()), (QVector<int>{6, 5, 3, -1}));
    }

    void classify_data()
    {
        QTest::addColumn<std::vector<ExplorerBook>>("destination");
        QTest::addColumn<std::vector<ExplorerBook>>("source");
        QTest::addColumn<QString>("expected");
        using Books = std::vector<ExplorerBook>;
        const QString h = QStringLiteral("hash");
        const Books own{book(1, "T", h, 100, {entry(1, 10)})}; // the reader's one book, page 11
        QTest::newRow("same hash, further page")
            << own << Books{book(7, "Other title", h, 100, {entry(1, 50)})} << "1/1:src7 , +0";
        QTest::newRow("size differs never proposed")
            << own << Books{book(7, "T", h, 999, {entry(1, 90)})} << "1/1:own S, +0";
        // Two backup books for one book: one proposal for the group, the furthest.
        QTest::newRow("two source books, one proposal")
            << Books{book(1, "T", "", 100, {entry(1, 10)})}
            << Books{book(7, "T", "", 100, {entry(1, 30)}), book(8, "T", "", 100, {entry(1, 60)})}
            << "1/1:src8 ,, +0";
        QTest::newRow("unmatched and unmapped") << own
                                                << Books{book(7, "Else", "x", 100, {entry(1, 40)}),
                                                         book(8, "T", h, 100, {entry(4, 99)})}
                                                << "1/1:own  +1";
    }
    void classify()
    {
        QFETCH(std::vector<ExplorerBook>, destination);
        QFETCH(std::vector<ExplorerBook>, source);
        QFETCH(QString, expected);
        // Profile 4 of the backup is not in the map: its rows take no part.
        const ProfileMap map{{1, 1}, {2, 2}, {3, -1}};
        QCOMPARE(describe(classifyTransfer(destination, source, map)), expected);
    }
};

QTEST_GUILESS_MAIN(tst_transferprogress)
#include "tst_transferprogress.moc"
