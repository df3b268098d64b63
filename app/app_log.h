// The application's log: one line at a time on standard error, which start-up
// redirects into the log file ~/.local/share/Ambrel/Ambrel.log.
#pragma once

#include <QtCore/QString>
#include <QtCore/QStringList>

#include "app/common/log_line.h"

namespace ambrel::app {

// Writes one line (a line end is added), after the time of day
// ("14:03:27.512 "), and flushes it. Safe from any thread. A sink receives
// the line without the time.
void appLog(const QString& line);

// Sends the HEIF library's diagnostics into this log (with their time) rather
// than to the standard streams directly.
void routeLibraryLogs();

// While it lives, the library's diagnostics of this thread are gathered; at
// its end each distinct line is written once, after the file's name: reading
// a file several times (its images, its thumbnail) gives one line per file
// for a property the reader does not know, not one per reading.
class GatheredLibraryLines
{
public:
    explicit GatheredLibraryLines(QString file);
    ~GatheredLibraryLines();
    GatheredLibraryLines(const GatheredLibraryLines&) = delete;
    GatheredLibraryLines& operator=(const GatheredLibraryLines&) = delete;

    void add(const QString& line);

private:
    QString mFile;
    QStringList mLines;
    GatheredLibraryLines* mOuter;
};

// Where the lines go instead of standard error; an empty function restores
// standard error. Tests read the log through this.
void setLogSink(LogSink sink);

// The log file: "<dataFolder>/Ambrel/Ambrel.log", where dataFolder is the
// user's data folder (~/.local/share, or $XDG_DATA_HOME).
QString logFilePath(const QString& dataFolder);

// The log file of this running instance in `folder`, emptied: Ambrel.log
// when no other instance is running, else Ambrel-<process id>.log, so that a
// second instance leaves the first one's log alone. The file stays claimed
// (locked) until the process ends; a claimed file is never emptied or
// removed by another instance. The previous Ambrel.log is kept as
// Ambrel.old.log. Ambrel-*.log files of instances that have
// ended are removed by the instance that claims Ambrel.log. Returns an empty
// text when no log file can be made.
QString claimLogFile(const QString& folder);

// Creates the folder Ambrel in `dataFolder` when missing, claims this
// instance's log file there (claimLogFile: Ambrel.log, emptied, unless
// another instance is running) and reopens standard output, standard error
// and standard input on it (append and read), so every run starts a fresh
// log. Returns the log file's path, or an empty text when the folder cannot
// be made; the standard streams are then left as they were.
QString redirectStandardStreams(const QString& dataFolder);

}  // namespace ambrel::app
