// The application's log: one line at a time on standard error, which start-up
// redirects into the log file ~/.local/share/Ambrel/Ambrel.log.
#pragma once

#include <QtCore/QString>

#include <functional>

namespace ambrel::app {

// Writes one line (a line end is added) and flushes it. Safe from any thread.
void appLog(const QString& line);

// Where the lines go instead of standard error; an empty function restores
// standard error. Tests read the log through this.
using LogSink = std::function<void(const QString& line)>;
void setLogSink(LogSink sink);

// The log file: "<dataFolder>/Ambrel/Ambrel.log", where dataFolder is the
// user's data folder (~/.local/share, or $XDG_DATA_HOME).
QString logFilePath(const QString& dataFolder);

// Creates the folder Ambrel in `dataFolder` when missing, deletes an old
// Ambrel.log there and reopens standard output, standard error and standard
// input on a new one (append and read), so every run starts a fresh log.
// Returns the log file's path, or an empty text when the folder cannot be
// made; the standard streams are then left as they were.
QString redirectStandardStreams(const QString& dataFolder);

}  // namespace ambrel::app
