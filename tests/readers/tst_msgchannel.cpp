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
};

class tst_msgchannel : public QObject
{
    Q_OBJECT

private slots:
    void slots_emitWithDefaultsFilledIn();
    void nonAsciiText_arrivesUnchanged();
    void queuedFromWorkerThread_deliveredInOrderAfterJoin();
};

void tst_msgchannel::slots_emitWithDefaultsFilledIn()
{
    gui_msgchannel channel;
    QSignalSpy added(&channel, &gui_msgchannel::device_added_main);
    QSignalSpy card(&channel, &gui_msgchannel::device_added_card);
    QSignalSpy removed(&channel, &gui_msgchannel::device_removed);
    QSignalSpy synced(&channel, &gui_msgchannel::device_synced);
    QSignalSpy notMounted(&channel, &gui_msgchannel::device_NotMounted);

    channel.reader_add_main("S1", "Name");
    channel.reader_add_main("S2", "Name", true);
    channel.reader_add_main("S3", "Name", true, true);
    QCOMPARE(added.count(), 3);
    QCOMPARE(added.at(0), (QVariantList{"S1", "Name", false, false}));
    QCOMPARE(added.at(1), (QVariantList{"S2", "Name", true, false}));
    QCOMPARE(added.at(2), (QVariantList{"S3", "Name", true, true}));

    channel.reader_add_card("S1");
    QCOMPARE(card.takeFirst(), (QVariantList{"S1"}));

    channel.reader_remove("S1");
    channel.reader_remove("S2", "Two");
    channel.reader_remove("S3", "Three", true);
    QCOMPARE(removed.at(0), (QVariantList{"S1", QString(), false}));
    QCOMPARE(removed.at(1), (QVariantList{"S2", "Two", false}));
    QCOMPARE(removed.at(2), (QVariantList{"S3", "Three", true}));

    channel.reader_AutosyncDone("S4");
    channel.device_NotMountedWarning("S5");
    QCOMPARE(synced.takeFirst(), (QVariantList{"S4"}));
    QCOMPARE(notMounted.takeFirst(), (QVariantList{"S5"}));
}

void tst_msgchannel::nonAsciiText_arrivesUnchanged()
{
    gui_msgchannel channel;
    QSignalSpy added(&channel, &gui_msgchannel::device_added_main);
    channel.reader_add_main("Серия-№5", "Lëser 📚");
    QCOMPARE(added.at(0).at(0).toString(), QStringLiteral("Серия-№5"));
    QCOMPARE(added.at(0).at(1).toString(), QStringLiteral("Lëser 📚"));
}

void tst_msgchannel::queuedFromWorkerThread_deliveredInOrderAfterJoin()
{
    auto channel = std::make_shared<gui_msgchannel>();
    Listener window;
    // The window connects with the string-based signatures the program fixes.
    QVERIFY(connect(channel.get(), SIGNAL(device_added_main(QString, QString, bool, bool)),
                    &window, SLOT(gui_device_add_main(QString, QString, bool, bool)),
                    Qt::QueuedConnection));
    QVERIFY(connect(channel.get(), SIGNAL(device_added_card(QString)), &window,
                    SLOT(gui_device_add_card(QString)), Qt::QueuedConnection));
    QVERIFY(connect(channel.get(), SIGNAL(device_removed(QString, QString, bool)), &window,
                    SLOT(gui_device_remove(QString, QString, bool)), Qt::QueuedConnection));

    std::thread scan([channel] {
        channel->reader_add_main("A", "Alpha", false, true);
        channel->reader_add_card("A");
        channel->reader_remove("B", "Beta", true);
        channel->reader_add_main("C", "Gamma");
    });
    scan.join();
    // Nothing arrives while the GUI thread has not returned to its event loop.
    QVERIFY(window.events.isEmpty());
    QTRY_COMPARE(window.events.size(), 4);
    QCOMPARE(window.events, (QStringList{"main A Alpha 0 1", "card A", "remove B Beta 1",
                                         "main C Gamma 0 0"}));
}

QTEST_GUILESS_MAIN(tst_msgchannel)
#include "tst_msgchannel.moc"
