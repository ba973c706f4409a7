#include "backup/transferprogress.h"

#include <algorithm>
#include <map>

std::vector<int32_t> preselectProfiles(const ProfileList &source, const ProfileList &destination)
{
    std::vector<int32_t> result;
    result.reserve(source.size());
    for (const auto &profile : source) {
        auto match = std::find_if(destination.begin(), destination.end(),
                                  [&profile](const auto &d) { return d.second == profile.second; });
        if (match == destination.end())
            match = std::find_if(destination.begin(), destination.end(),
                                 [&profile](const auto &d) { return d.first == profile.first; });
        result.push_back(match == destination.end() ? -1 : match->first);
    }
    return result;
}

bool profileMapUsable(const ProfileMap &map)
{
    return std::any_of(map.begin(), map.end(), [](const auto &pair) { return pair.second != -1; });
}

bool ReviewBook::redundant() const
{
    return std::none_of(groups.begin(), groups.end(), [](const ProgressGroup &group) {
        return group.proposed >= 0 && !group.entries[size_t(group.proposed)].isDestination();
    });
}

namespace {

bool booksMatch(const ExplorerBook &destination, const ExplorerBook &source, bool &byHash)
{
    byHash = !destination.fastHash.isEmpty() && destination.fastHash == source.fastHash;
    return byHash || (destination.title == source.title && destination.author == source.author &&
                      destination.ext == source.ext);
}

ProgressGroup &groupFor(ReviewBook &book, int32_t profileId)
{
    for (ProgressGroup &group : book.groups) {
        if (group.profileId == profileId)
            return group;
    }
    book.groups.push_back({});
    book.groups.back().profileId = profileId;
    return book.groups.back();
}

void classifyGroup(const ExplorerBook &book, ProgressGroup &group, int &conflicts)
{
    const ProgressCandidate *leader = nullptr;
    for (const ProgressCandidate &entry : group.entries) {
        if (entry.isDestination())
            leader = &entry;
    }
    if (leader)
        group.proposed = int(leader - group.entries.data());
    for (size_t i = 0; i < group.entries.size(); ++i) {
        ProgressCandidate &entry = group.entries[i];
        if (entry.isDestination())
            continue;
        entry.sizeDiffers = book.size != entry.progress.size;
        if (leader) {
            entry.completedDiffers = entry.progress.completed != leader->progress.completed;
            entry.pageTotalDiffers = entry.progress.npage != leader->progress.npage;
            entry.candidate = !entry.sizeDiffers && !entry.pageTotalDiffers;
            if (!entry.candidate)
                ++conflicts;
        } else {
            // Nothing on the reader to compare the page total with: worth a look.
            entry.noDestination = true;
            ++conflicts;
            entry.candidate = !entry.sizeDiffers;
            if (!entry.candidate)
                ++conflicts;
        }
        if (!entry.candidate || entry.noDestination)
            group.conflict = true;
        if (!entry.candidate)
            continue;
        // Strictly further: on equal pages the earlier entry, the reader's own, stays.
        if (group.proposed < 0 ||
            entry.progress.cpage > group.entries[size_t(group.proposed)].progress.cpage)
            group.proposed = int(i);
    }
}

} // namespace

TransferReview classifyTransfer(const std::vector<ExplorerBook> &destination,
                                const std::vector<ExplorerBook> &source, const ProfileMap &map)
{
    std::map<int32_t, int32_t> toIds;
    for (const auto &[fromId, toId] : map) {
        if (toId != -1)
            toIds[fromId] = toId;
    }

    TransferReview review;
    std::vector<bool> matched(source.size(), false);
    for (const ExplorerBook &book : destination) {
        ReviewBook item;
        item.book = book;
        for (const ProfileProgress &own : book.progress) {
            ProgressCandidate entry;
            entry.progress = own;
            entry.progress.mappedProfileId = own.profileId;
            groupFor(item, own.profileId).entries.push_back(entry);
        }
        for (size_t s = 0; s < source.size(); ++s) {
            bool byHash = false;
            if (!booksMatch(book, source[s], byHash))
                continue;
            matched[s] = true;
            for (const ProfileProgress &theirs : source[s].progress) {
                const auto to = toIds.find(theirs.profileId);
                if (to == toIds.end())
                    continue;
                ProgressCandidate entry;
                entry.progress = theirs;
                entry.progress.isDestination = false;
                entry.progress.mappedProfileId = to->second;
                entry.sourceBookId = source[s].bookId;
                entry.matchedByHash = byHash;
                groupFor(item, to->second).entries.push_back(entry);
            }
        }
        for (ProgressGroup &group : item.groups) {
            classifyGroup(book, group, review.conflicts);
            item.conflict = item.conflict || group.conflict;
        }
        review.books.push_back(std::move(item));
    }
    for (size_t s = 0; s < source.size(); ++s) {
        if (!matched[s])
            review.unmatched.push_back(source[s]);
    }
    return review;
}

QString transferReport(const std::vector<TransferChoice> &choices)
{
    QStringList lines{QStringLiteral("No changes were written to the reader: this version only "
                                     "reviews reading progress.")};
    if (choices.empty()) {
        lines << QStringLiteral("Nothing was chosen.");
    } else {
        lines << QStringLiteral("Your choices:");
        for (const TransferChoice &choice : choices) {
            lines << QStringLiteral("%1 (profile %2): %3, page %4/%5")
                         .arg(choice.title)
                         .arg(choice.profileId)
                         .arg(choice.fromBackup ? QStringLiteral("from the backup")
                                                : QStringLiteral("keep current"))
                         .arg(choice.cpage + 1)
                         .arg(choice.npage + 1);
        }
    }
    return lines.join(QLatin1Char('\n'));
}
