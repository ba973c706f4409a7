#include "core/appinfo.h"
#include "core/commandline.h"
#include "core/debuglog.h"
#include "core/globalsclass.h"
#include "core/settingsstore.h"
#include "core/textconv.h"
#include "mainwindow/mainwindow.h"
#include "mainwindow/qtprompts.h"
#include "mainwindow/resources.h"
#include "readers/gui_msgchannel.h"
#include "readers/readerdata.h"
#include "readers/systemplatform.h"

#include <QApplication>
#include <QDebug>
#include <QDir>
#include <QSqlDatabase>
#include <QStandardPaths>

#include <cstdlib>
#include <memory>
#include <thread>

namespace {

QString boolText(bool value)
{
    return value ? QStringLiteral("true") : QStringLiteral("false");
}

QString writableLocation(QStandardPaths::StandardLocation location)
{
    return QDir::toNativeSeparators(QStandardPaths::writableLocation(location));
}

void logStartupBlock(const globalsClass &globals, bool datadirViaCLI)
{
    qDebug().noquote() << "- Device scanner active?" << boolText(false);
    qDebug().noquote() << "- Portablemode? " << boolText(globals.portablemode);
    qDebug().noquote() << "- App dir: " << toQString(globals.appdir);
    qDebug().noquote() << "- Datadir via CLI?" << boolText(datadirViaCLI);
    qDebug().noquote() << "- Datadir path: " << toQString(globals.datadir);
    qDebug().noquote() << "- Settings devices: " << toQString(globals.settingsDevices);
    qDebug().noquote() << "- Settings general via CLI?" << boolText(globals.settingsdirViaCLI);
    qDebug().noquote() << "- Settings general: " << toQString(globals.settingsGeneral);
    qDebug().noquote() << "- Help path: " << toQString(globals.helpfile);
    qDebug().noquote() << "- Temp dir path:" << toQString(globals.tempdir);
    qDebug().noquote() << "- Debug log? " << boolText(globals.debuglog);
    qDebug().noquote() << "- Logfile (set/default):" << toQString(globals.logfile)
             << QString::fromStdString(logFilePath());
}

std::unique_ptr<QCoreApplication> makeApplication(int &argc, char *argv[])
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    // --help and --version answer on the terminal, also where there is no display.
    if (CommandLine::answersWithoutWindow(arguments))
        return std::make_unique<QCoreApplication>(argc, argv);
    return std::make_unique<QApplication>(argc, argv);
}

} // namespace

int main(int argc, char *argv[])
{
    const std::unique_ptr<QCoreApplication> application = makeApplication(argc, argv);
    QCoreApplication &app = *application;
    QCoreApplication::setOrganizationName(QString::fromUtf8(appinfo::organisationName));
    QCoreApplication::setApplicationName(QString::fromUtf8(appinfo::applicationName));
    QCoreApplication::setApplicationVersion(QString::fromUtf8(appinfo::applicationVersion));
    initMarloxResources();
    setPrompts(&toolkitPrompts());

    CommandLine commandLine;
    commandLine.process(app);

    // No handler is installed yet: these two go to standard error through Qt's default one.
    if (commandLine.version()) {
        qDebug().noquote() << versionLine();
        return 0;
    }
    if (commandLine.conflictingModes()) {
        qDebug() << "Cannot set both -p and either --datadir and/or --settingsdir";
        return 1;
    }

    const bool datadirViaCLI = commandLine.datadirGiven();
    auto globals = std::make_shared<globalsClass>(
        commandLine.portable(), commandLine.settingsdir().toStdString(),
        commandLine.datadir().toStdString(),
        toPath(writableLocation(QStandardPaths::GenericDataLocation)),
        toPath(writableLocation(QStandardPaths::GenericConfigLocation)));

    {
        const auto settings = openIniSettings(globals->settingsGeneral);
        globals->debuglog =
            commandLine.debug() || readBool(*settings, settingskeys::enableDebuglog, false);
    }

    setLogFilePath(globals->logfile.string());
    qInstallMessageHandler(globals->debuglog ? fileMessageHandler : silentMessageHandler);

    qDebug().noquote() << startupVersionLine();

    if (!QSqlDatabase::isDriverAvailable(QStringLiteral("QSQLITE"))) {
        const QString text = QStringLiteral("Sqlite support missing");
        qDebug().noquote() << text;
        prompts().warning(nullptr, text, text);
        return -2;
    }

    logStartupBlock(*globals, datadirViaCLI);

    qDebug() << "Setting up core";
    auto channel = std::make_shared<gui_msgchannel>();
    auto registry = std::make_shared<ReaderData>(channel, globals, false, makeSystemPlatform());

    qDebug() << "Setting up main window";
    int status = 0;
    {
        MainWindow window(registry, channel, globals, nullptr);
        window.setWindowTitle(mainWindowTitle(window.windowTitle(), globals->portablemode));
        window.show();
        window.startDeviceMonitor(makeSystemDeviceMonitor());
        // The first scan runs on its own thread while this one waits; its announcements
        // are queued and reach the window once the event loop runs.
        std::thread firstScan([registry] { registry->device_scan(true); });
        firstScan.join();
        status = QApplication::exec();
    }
    return status;
}
