#pragma once

#include <QByteArray>
#include <QList>

#include <filesystem>

/// What libzip does not tell about an archive it reads: the general purpose flags of each
/// central directory entry (bit 11 the UTF-8 name, bits 1-2 the deflate level class).
namespace zipinspect {

struct CentralEntry
{
    QByteArray name;
    quint16 flags = 0;
};

/// The central directory of a small (not ZIP64) archive, in order; empty when unreadable.
QList<CentralEntry> centralDirectory(const std::filesystem::path &archive);

} // namespace zipinspect
