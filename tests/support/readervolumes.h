#pragma once

#include "support/fakeplatform.h"

#include <QTemporaryDir>

#include <filesystem>
#include <memory>

class ReaderData;
class Reader;
class globalsClass;

/// A reader whose main memory (/dev/sdx at base/main) and card (/dev/sdy at base/card) are
/// folders mounted behind the fake volume list of a real registry; settings in base/config,
/// files to send in base/pc.
struct ReaderVolumes
{
    explicit ReaderVolumes(bool withCard = false);
    ~ReaderVolumes();

    QTemporaryDir dir;
    std::filesystem::path base, pc;
    std::shared_ptr<globalsClass> globals;
    std::shared_ptr<FakeMounts> mounts;
    std::shared_ptr<ReaderData> registry;
    std::shared_ptr<Reader> reader;
};
