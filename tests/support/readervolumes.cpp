#include "support/readervolumes.h"

#include "core/globalsclass.h"
#include "readers/gui_msgchannel.h"
#include "readers/readerdata.h"

namespace fs = std::filesystem;

ReaderVolumes::ReaderVolumes(bool withCard)
{
    const fs::path root = base();
    globals = std::make_shared<globalsClass>(false, (root / "config").string(),
                                             (root / "data").string(), root / "share",
                                             root / "config");
    mounts = std::make_shared<FakeMounts>();
    registry = std::make_shared<ReaderData>(std::make_shared<gui_msgchannel>(), globals, false,
                                            makeFakePlatform(std::make_shared<FakeBlockDevices>(),
                                                             mounts));
    DetectionRecord record;
    record.serial = "PB-UPLOAD";
    reader = std::make_shared<Reader>(record);
    reader->owner = registry.get();
    reader->name = "PB632";
    reader->maindevice = "/dev/sdx";
    reader->mainpath = root / "main";
    fs::create_directories(reader->mainpath);
    mounts->mount(reader->maindevice, reader->mainpath, reader->name);
    if (withCard) {
        reader->carddevice = "/dev/sdy";
        reader->cardpath = root / "card";
        fs::create_directories(reader->cardpath);
        mounts->mount(reader->carddevice, reader->cardpath, "SDCARD");
    }
    fs::create_directories(sources());
}

ReaderVolumes::~ReaderVolumes() = default;

fs::path ReaderVolumes::base() const
{
    return fs::path(dir.path().toStdString());
}

fs::path ReaderVolumes::mainPath() const
{
    return reader->mainpath;
}

fs::path ReaderVolumes::cardPath() const
{
    return reader->cardpath;
}

fs::path ReaderVolumes::sources() const
{
    return base() / "pc";
}

void ReaderVolumes::unmountMain()
{
    mounts->unmount(reader->maindevice);
}
