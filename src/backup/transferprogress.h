#pragma once

#include "database/explorerbook.h"

#include <QString>
#include <QStringList>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

/// Comparing the reading progress a backup holds with a reader's, without widgets: which
/// source profile stands for which reader profile, and for every book of the reader and
/// every profile the one entry proposed. Nothing here writes anything.

using ProfileList = std::vector<std::pair<int, std::string>>;

/// The destination profile preselected for each source profile: the one with an equal name,
/// else the one with an equal id, else -1 ("Ignore this profile").
std::vector<int32_t> preselectProfiles(const ProfileList &source, const ProfileList &destination);

/// Whether a profile map lets at least one profile take part.
bool profileMapUsable(const ProfileMap &map);

/// One progress entry of a group: the reader's own (sourceBookId -1) or one from the backup.
struct ProgressCandidate
{
    ProfileProgress progress;
    int32_t sourceBookId = -1;
    bool matchedByHash = false;
    bool pageTotalDiffers = false;
    bool completedDiffers = false;
    bool sizeDiffers = false;
    bool noDestination = false; // the reader has no entry of this profile for the book
    bool candidate = true;      // may be proposed: same size, and same page total if known
    bool isDestination() const { return sourceBookId < 0; }
};

/// All entries of one book for one destination profile. `proposed` is the index of the
/// one proposal: the furthest page among the candidates, the reader's own on equal pages;
/// -1 only when the reader has no entry and no backup entry may be proposed (nothing changes).
struct ProgressGroup
{
    int32_t profileId = -1;
    std::vector<ProgressCandidate> entries;
    int proposed = -1;
    bool conflict = false;
};

/// One book of the reader with its groups, in the order of its profiles.
struct ReviewBook
{
    ExplorerBook book;
    std::vector<ProgressGroup> groups;
    bool conflict = false;
    /// Nothing to decide: no group proposes an entry from the backup.
    bool redundant() const;
};

struct TransferReview
{
    std::vector<ReviewBook> books;       // the reader's books, in its order
    std::vector<ExplorerBook> unmatched; // backup books that match no book of the reader
    int conflicts = 0;
};

/// Matches backup books to reader books (equal non-empty hash, else equal title, author and
/// format), maps the backup's profiles through `map` (profiles not in it, or mapped to -1,
/// are left out) and builds the groups.
TransferReview classifyTransfer(const std::vector<ExplorerBook> &destination,
                                const std::vector<ExplorerBook> &source, const ProfileMap &map);

/// One decision the user made in the review: the entry chosen for a book and profile.
struct TransferChoice
{
    int32_t bookId = 0;
    QString title;
    int32_t profileId = -1;
    bool fromBackup = false;
    int32_t cpage = 0;
    int32_t npage = 0;
};

/// The closing report: a review that wrote nothing, with every choice listed.
QString transferReport(const std::vector<TransferChoice> &choices);
