#pragma once

#include <QString>
#include <QtGlobal>

#include <string>

/// The debug log: one handler, installed once at start-up, writes every message as one
/// line to the log file, or a silent handler drops them all. The file is opened on the
/// first message and stays open until the process ends; a failed open is never retried.

void setLogFilePath(const std::string &path);
std::string logFilePath();

/// The handler that writes to the log file (thread-safe to call from any thread).
void fileMessageHandler(QtMsgType type, const QMessageLogContext &context, const QString &message);
/// The handler that drops every message, warnings included.
void silentMessageHandler(QtMsgType type, const QMessageLogContext &context, const QString &message);

/// "Debug", "Warning", "Critical", "Fatal", "Info", or "?" for anything else.
const char *logLevelWord(int type);
/// One log line: "HH:MM:SS Level: text\n"; empty for an unknown message type.
QString formatLogLine(int type, const QString &time, const QString &message);

/// Opens (creating or truncating) the log file for writing without ever following a
/// symbolic link, readable and writable by the user only. Returns the descriptor or -1.
int openLogFile(const std::string &path);

/// The current local time formatted with strftime (buffer of 128 bytes).
std::string currentTimeString(const char *format);
