#pragma once

#include "database/annotationrecord.h"

#include <QString>

#include <filesystem>
#include <utility>
#include <vector>

/// Reading a profile's highlights, notes and bookmarks out of its books.db (read-only).

/// Replaces `records` with every annotation of the database; false (and an empty list)
/// when the database is missing or cannot be read (logged).
bool importAnnotations(std::vector<AnnotationRecord> &records, const std::filesystem::path &dbPath);

/// Page and offset (both 0-based, as stored) of a "pbr:/word?page=P&offs=O#..." anchor;
/// (0, 0) when the text does not have that form.
std::pair<int, int> parsePbrAnchor(const QString &anchor);

/// Sets `page` and `offset` (1-based) and `positionKey` (page * 10000 + offset, 0-based) of
/// `record` from an anchor text; values beyond int32 saturate.
void setAnchorPosition(AnnotationRecord &record, const QString &anchor);

/// The colour code of a reader's colour name ("yellow", "cian", "gray"...).
int32_t classifyAnnotationColor(const QString &name);
