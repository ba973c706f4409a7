#pragma once

#include <QObject>
#include <QString>

#include <string>

/// Carries reader events from the registry (any thread, UTF-8 std::string) to the window
/// (GUI thread, QString). The window connects the signals queued, so its handlers run on
/// the GUI thread in the order the registry called these slots.
class gui_msgchannel : public QObject
{
    Q_OBJECT
public:
    gui_msgchannel() = default;

public slots:
    void reader_add_main(std::string serial, std::string name, bool isvirtual = false,
                         bool synced = false);
    void reader_add_card(std::string serial);
    void reader_remove(std::string serial, std::string name = std::string(),
                       bool haslocalmirror = false);
    void reader_AutosyncDone(std::string serial);
    void device_NotMountedWarning(std::string serial);

signals:
    void device_added_main(QString serial, QString name, bool isvirtual = false,
                           bool synced = false);
    void device_added_card(QString serial);
    void device_removed(QString serial, QString name, bool haslocalmirror);
    void device_synced(QString serial);
    void device_NotMounted(QString serial);
};
