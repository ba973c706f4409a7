#pragma once

#include <QString>

#include <filesystem>
#include <string>

// The core keeps UTF-8 std::string and std::filesystem::path; the toolkit wants QString.
// On Linux a path is its bytes, which we treat as UTF-8 throughout.

inline QString toQString(const std::string &text)
{
    return QString::fromStdString(text);
}

inline QString toQString(const std::filesystem::path &path)
{
    return QString::fromStdString(path.string());
}

inline std::filesystem::path toPath(const QString &text)
{
    return std::filesystem::path(text.toStdString());
}
