#include "support/readervolumes.h"

#include "core/globalsclass.h"
#include "readers/gui_msgchannel.h"
#include "readers/readerdata.h"

namespace fs = std::filesystem;

ReaderVolumes::ReaderVolumes(bool withCard)
    : base(dir.path().toStdString())
    , pc(base / "pc")
{
    globals = std::make_shared<globalsClass>(false, (base / "config").string(),
                                             (base / "data").string(), base / "share",
                                             base / "config");
    mounts = std::make_shared<FakeMounts>();
    registry = std::make_shared<ReaderData>(std::make_shared<gui_msgchannel>(), globals, false,
                                            makeFakePlatform(std::make_shared<FakeBlockDevices>(),
                                                             mounts));
    reader = std::make_shared<Reader>(DetectionRecord{});
    reader->owner = registry.get();
    reader->maindevice = "/dev/sdx";
    reader->mainpath = base / "main";
    mounts->mount(reader->maindevice, reader->mainpath, "PB632");
    if (withCard) {
        reader->carddevice = "/dev/sdy";
        reader->cardpath = base / "card";
        fs::create_directories(reader->cardpath);
        mounts->mount(reader->carddevice, reader->cardpath, "SDCARD");
    }
    fs::create_directories(reader->mainpath);
    fs::create_directories(pc);
}

ReaderVolumes::~ReaderVolumes() = default;
