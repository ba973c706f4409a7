#pragma once

#include <QTemporaryDir>
#include <QtGlobal>

#include <filesystem>
#include <functional>
#include <string>

class QCommandLineParser;
class QCoreApplication;

/// The options every benchmark shares: which books.db, or what to generate, and how often
/// to run each side.
struct BenchOptions
{
    std::filesystem::path db;
    int books = 2000;
    int annotations = 100000;
    unsigned long long seed = 1;
    int runs = 5;
    bool generated = false; // the database was written by this run
};

/// Adds the shared options to `parser`, processes the command line and, when the database
/// does not exist yet, generates it (into `scratch` unless --db names a path). Prints its
/// own error and returns false on bad options or a failed generation.
bool prepareBenchDatabase(QCommandLineParser &parser, const QCoreApplication &app,
                          const char *programName, const QTemporaryDir &scratch,
                          BenchOptions &options);

/// Message handler for benchmarks: debug and info lines are dropped, warnings still show.
void dropDebugMessages(QtMsgType type, const QMessageLogContext &context, const QString &message);

/// Wall-clock seconds that `work` takes.
double seconds(const std::function<void()> &work);
