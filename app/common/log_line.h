// Where the update check, the usage statistics and the application write
// their log lines: a sink the caller gives, or standard error (which
// start-up redirects into the log file) when there is none.
#pragma once

#include <QtCore/QString>

#include <functional>

namespace ambrel::app {

// Takes one log line, without its line end.
using LogSink = std::function<void(const QString& line)>;

// Writes one line to standard error (a line end is added) and flushes it.
void writeLineToStandardError(const QString& line);

// Gives the line to `sink`, or writes it to standard error when the sink is
// empty.
void logLine(const LogSink& sink, const QString& line);

}  // namespace ambrel::app
