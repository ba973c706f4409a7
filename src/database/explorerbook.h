#pragma once

#include <QString>

#include <cstdint>
#include <vector>

/// One profile's reading progress in one book of the explorer database.
struct ProfileProgress
{
    bool isDestination = false;
    int32_t profileId = -1;       // as stored; -1 when NULL
    int32_t mappedProfileId = -1; // after the profile map
    int32_t modificationTime = 0; // seconds since the epoch
    QString position;
    int32_t positionTs = 0;
    int32_t cpage = 0;
    int32_t npage = 0;
    int32_t openTime = 0;
    bool completed = false;
    int32_t completedTs = 0;
    int32_t favorite = 0;
    QString custom;
    int32_t favoriteTs = 0;
    uint64_t size = 0;
};

/// One book file of the explorer database, with the progress of every profile that opened it.
struct ExplorerBook
{
    int32_t bookId = 0;
    QString fastHash;
    QString title;
    QString author;
    QString ext;
    uint64_t size = 0;
    std::vector<ProfileProgress> progress;
};

/// Profile matching result: (fromId, toId); toId -1 leaves that profile out.
using ProfileMap = std::vector<std::pair<int32_t, int32_t>>;
