#pragma once

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QString>

class QCoreApplication;

/// The program's command line: the help option first, then --debug, -p/--portable,
/// --settingsdir, --datadir and --version, in this order.
class CommandLine
{
public:
    CommandLine();

    /// Parses the application's arguments; exits the process for --help and unknown options.
    void process(const QCoreApplication &app);

    /// True when `arguments` (the program's name first) parse and ask only for an answer on
    /// the terminal (--help or --version): the program then needs no window system, and
    /// must not create the GUI application object, which aborts without a display.
    static bool answersWithoutWindow(const QStringList &arguments);

    bool debug() const;
    bool portable() const;
    bool settingsdirGiven() const;
    bool datadirGiven() const;
    bool version() const;
    QString settingsdir() const;
    QString datadir() const;
    /// -p together with --settingsdir and/or --datadir, which the program refuses.
    bool conflictingModes() const;

    QString helpText() const;

private:
    QCommandLineParser m_parser;
    QCommandLineOption m_debug;
    QCommandLineOption m_portable;
    QCommandLineOption m_settingsdir;
    QCommandLineOption m_datadir;
    QCommandLineOption m_version;
};

/// "Marlox v0.9.8.2 (x86_64, Qt v5.15.3). Running on '...', x86_64, Qt v5.15.8"
QString versionLine();
/// The first line of the debug log, on two lines.
QString startupVersionLine();
/// The main window's title: its own title, the version, and " [Portable mode]" when portable.
QString mainWindowTitle(const QString &baseTitle, bool portable);
/// The about box's version text, on three lines.
QString aboutVersionText();
