#include "readers/gui_msgchannel.h"

void gui_msgchannel::reader_add_main(std::string serial, std::string name, bool isvirtual,
                                     bool synced)
{
    emit device_added_main(QString::fromStdString(serial), QString::fromStdString(name),
                           isvirtual, synced);
}

void gui_msgchannel::reader_add_card(std::string serial)
{
    emit device_added_card(QString::fromStdString(serial));
}

void gui_msgchannel::reader_remove(std::string serial, std::string name, bool haslocalmirror)
{
    emit device_removed(QString::fromStdString(serial), QString::fromStdString(name),
                        haslocalmirror);
}

void gui_msgchannel::reader_AutosyncDone(std::string serial)
{
    emit device_synced(QString::fromStdString(serial));
}

void gui_msgchannel::device_NotMountedWarning(std::string serial)
{
    emit device_NotMounted(QString::fromStdString(serial));
}
