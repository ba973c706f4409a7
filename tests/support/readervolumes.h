#pragma once

#include "support/fakeplatform.h"

#include <QTemporaryDir>

#include <filesystem>
#include <memory>

class ReaderData;
class Reader;
class globalsClass;

/// A reader whose main memory (and card) are folders in a temporary directory, mounted
/// behind the fake volume list of a real registry, with settings files of its own.
class ReaderVolumes
{
public:
    explicit ReaderVolumes(bool withCard = false);
    ~ReaderVolumes();

    std::filesystem::path base() const;       // the temporary directory
    std::filesystem::path mainPath() const;   // base()/"main"
    std::filesystem::path cardPath() const;   // base()/"card", empty without a card
    std::filesystem::path sources() const;    // base()/"pc", where a test puts files to send
    /// Unmounts the main memory (the folder stays, as an empty mount point does).
    void unmountMain();

    QTemporaryDir dir;
    std::shared_ptr<globalsClass> globals;
    std::shared_ptr<FakeMounts> mounts;
    std::shared_ptr<ReaderData> registry;
    std::shared_ptr<Reader> reader;
};
