#include "core/commandline.h"

#include "core/appinfo.h"

#include <QCoreApplication>
#include <QSysInfo>

CommandLine::CommandLine()
    : m_debug(QStringList{QStringLiteral("debug")}, QStringLiteral("Enable debug logging."))
    , m_portable(QStringList{QStringLiteral("p"), QStringLiteral("portable")},
                 QStringLiteral("Run in portable mode."))
    , m_settingsdir(QStringList{QStringLiteral("settingsdir")}, QStringLiteral("Set settingsdir."),
                    QStringLiteral("user_settingsdir"))
    , m_datadir(QStringList{QStringLiteral("datadir")}, QStringLiteral("Set datadir."),
                QStringLiteral("user_datadir"))
    , m_version(QStringList{QStringLiteral("version")}, QStringLiteral("Version info"))
{
    m_parser.setApplicationDescription(QString::fromUtf8(appinfo::applicationDescription));
    m_parser.addHelpOption();
    m_parser.addOption(m_debug);
    m_parser.addOption(m_portable);
    m_parser.addOption(m_settingsdir);
    m_parser.addOption(m_datadir);
    m_parser.addOption(m_version);
}

void CommandLine::process(const QCoreApplication &app)
{
    m_parser.process(app);
}

bool CommandLine::answersWithoutWindow(const QStringList &arguments)
{
    CommandLine commandLine;
    QCommandLineParser &parser = commandLine.m_parser;
    // Anything the parser does not know may be one of the GUI application's own options
    // ("-platform"): only that object can tell.
    if (!parser.parse(arguments))
        return false;
    return parser.isSet(QStringLiteral("help")) || commandLine.version();
}

bool CommandLine::debug() const
{
    return m_parser.isSet(m_debug);
}

bool CommandLine::portable() const
{
    return m_parser.isSet(m_portable);
}

bool CommandLine::settingsdirGiven() const
{
    return m_parser.isSet(m_settingsdir);
}

bool CommandLine::datadirGiven() const
{
    return m_parser.isSet(m_datadir);
}

bool CommandLine::version() const
{
    return m_parser.isSet(m_version);
}

QString CommandLine::settingsdir() const
{
    return m_parser.value(m_settingsdir);
}

QString CommandLine::datadir() const
{
    return m_parser.value(m_datadir);
}

bool CommandLine::conflictingModes() const
{
    return portable() && (settingsdirGiven() || datadirGiven());
}

QString CommandLine::helpText() const
{
    return m_parser.helpText();
}

namespace {

QString fillVersionTemplate(const QString &pattern)
{
    return pattern.arg(QString::fromUtf8(appinfo::applicationName),
                       QString::fromUtf8(appinfo::applicationVersion),
                       QSysInfo::buildCpuArchitecture(),
                       QString::fromUtf8(appinfo::builtQtVersion), QSysInfo::prettyProductName(),
                       QSysInfo::currentCpuArchitecture(), QString::fromUtf8(qVersion()));
}

} // namespace

QString versionLine()
{
    return fillVersionTemplate(
        QStringLiteral("%1 v%2 (%3, Qt v%4). Running on '%5', %6, Qt v%7"));
}

QString startupVersionLine()
{
    return fillVersionTemplate(
        QStringLiteral("%1 v%2 (build (%3); Qt v%4)\nRunning on '%5' (%6); Qt v%7"));
}

QString mainWindowTitle(const QString &baseTitle, bool portable)
{
    return QStringLiteral("%1 %2 %3")
        .arg(baseTitle, QString::fromUtf8(appinfo::applicationVersion),
             portable ? QStringLiteral(" [Portable mode]") : QString());
}

QString aboutVersionText()
{
    return fillVersionTemplate(QStringLiteral(
        "%1 v%2 (build)\nBuild info: %3; Qt v%4\nRunning on '%5' (%6); Qt v%7"));
}
