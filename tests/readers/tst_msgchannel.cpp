// The channel converts the registry's UTF-8 strings and keeps the order of its events
// when the window listens with queued connections.

#include "readers/gui_msgchannel.h"

#include <QSignalSpy>
#include <QtTest>

#include <thread>

class Listener : public QObject
{
    Q_OBJECT
public:
    QStringList events;
public slots:
    void gui_device_add_main(QString serial, QString name, bool isvirtual, bool synced)
    {
        events << QStringLiteral("main %1 %2 %3 %4").arg(serial, name).arg(isvirtual).arg(synced);
    }
    void gui_device_add_card(QString serial) { events << QStringLiteral("card ") + serial; }
    void gui_device_remove(QString serial, QString name, bool haslocalmirror)
    {
        events << QStringLiteral("remove %1 %2 %3").arg(serial, name).arg(haslocalmirror);
    }
    void gui_device_synced(QString serial) { events << QStringLiteral("synced ") + serial; }
    void gui_device_not_mounted(QString serial) { events << QStringLiteral("unmounted ") + serial; }
};

class tst_msgchannel : public QObject
{
    Q_OBJECT

private slots:
    void queuedFromWorkerThread_deliveredInOrderAfterJoin()
    {
        auto channel = std::make_shared<gui_msgchannel>();
        Listener window;
        // The window connects with the string-based signatures the program fixes.
        const auto queued = [&](const char *signal, const char *slot) {
            return connect(channel.get(), signal, &window, slot, Qt::QueuedConnection);
        };
        QVERIFY(queued(SIGNAL(device_added_main(QString, QString, bool, bool)),
                       SLOT(gui_device_add_main(QString, QString, bool, bool))));
        QVERIFY(queued(SIGNAL(device_added_card(QString)), SLOT(gui_device_add_card(QString))));
        QVERIFY(queued(SIGNAL(device_removed(QString, QString, bool)),
                       SLOT(gui_device_remove(QString, QString, bool))));
        QVERIFY(queued(SIGNAL(device_synced(QString)), SLOT(gui_device_synced(QString))));
        QVERIFY(queued(SIGNAL(device_NotMounted(QString)), SLOT(gui_device_not_mounted(QString))));

        std::thread scan([channel] {
            channel->reader_add_main("A", "Alpha", false, true);
            channel->reader_add_card("A");
            channel->reader_AutosyncDone("A");
            channel->reader_remove("B", "Beta", true);
            channel->device_NotMountedWarning("Серия-№5");
            channel->reader_add_main("Серия-№5", "Lëser 📚", true);
        });
        scan.join();
        // Nothing arrives while the GUI thread has not returned to its event loop.
        QVERIFY(window.events.isEmpty());
        QTRY_COMPARE(window.events.size(), 6);
        QCOMPARE(window.events,
                 (QStringList{"main A Alpha 0 1", "card A", "synced A", "remove B Beta 1",
                              "unmounted Серия-№5", "main Серия-№5 Lëser 📚 1 0"}));
    }
};

QTEST_GUILESS_MAIN(tst_msgchannel)
#include "tst_msgchannel.moc"
