#include "app/app_log.h"

#include <QtCore/QDir>
#include <QtCore/QFile>
#include <QtCore/QFileInfo>
#include <QtCore/QTime>

#include <QtCore/QCoreApplication>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include <mutex>
#include "heiclib/log.h"

namespace ambrel::app {

namespace {

std::mutex& logMutex()
{
    static std::mutex mutex;
    return mutex;
}

LogSink& logSink()
{
    static LogSink sink;
    return sink;
}

// Opens `path` (made when missing) and takes its lock without waiting. The
// lock lasts while the descriptor is open: -1 when another process (or
// another claim) holds it or the file cannot be opened.
int openLocked(const QString& path)
{
    const QByteArray name = QFile::encodeName(path);
    const int descriptor = ::open(name.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (descriptor < 0) {
        return -1;
    }
    if (::flock(descriptor, LOCK_EX | LOCK_NB) != 0) {
        ::close(descriptor);
        return -1;
    }
    return descriptor;
}

// Removes the logs of ended second instances: files nobody holds.
void removeEndedInstanceLogs(const QString& folder)
{
    const QDir dir(folder);
    for (const QString& name : dir.entryList({QStringLiteral("Ambrel-*.log")}, QDir::Files)) {
        const QString path = dir.filePath(name);
        const int descriptor = openLocked(path);
        if (descriptor >= 0) {
            QFile::remove(path);
            ::close(descriptor);
        }
    }
}

}  // namespace

namespace {

thread_local GatheredLibraryLines* tGathered = nullptr;

}  // namespace

void routeLibraryLogs()
{
    ambrel::log::setSink([](int /*channel*/, const std::string& text) {
        QString line = QString::fromStdString(text).trimmed();
        if (line.isEmpty()) {
            return;
        }
        if (tGathered != nullptr) {
            tGathered->add(line);
        } else {
            appLog(line);
        }
    });
}

GatheredLibraryLines::GatheredLibraryLines(QString file) : mFile(std::move(file)), mOuter(tGathered)
{
    tGathered = this;
}

GatheredLibraryLines::~GatheredLibraryLines()
{
    tGathered = mOuter;
    for (const QString& line : mLines) {
        appLog(QStringLiteral("%1: %2").arg(mFile, line));
    }
}

void GatheredLibraryLines::add(const QString& line)
{
    if (!mLines.contains(line)) {
        mLines.append(line);
    }
}

QString claimLogFile(const QString& folder)
{
    QString path = folder + "/Ambrel.log";
    int descriptor = openLocked(path);
    if (descriptor >= 0) {
        removeEndedInstanceLogs(folder);
        // The previous session's log is kept (one older file).
        if (QFileInfo(path).size() > 0) {
            const QString previous = folder + "/Ambrel.old.log";
            QFile::remove(previous);
            QFile::copy(path, previous);
        }
    } else {
        path = folder + QStringLiteral("/Ambrel-%1.log").arg(QCoreApplication::applicationPid());
        descriptor = openLocked(path);
        if (descriptor < 0) {
            return {};
        }
    }
    // The descriptor stays open (and the file claimed) for the rest of the run.
    if (::ftruncate(descriptor, 0) != 0) {
        ::close(descriptor);
        return {};
    }
    return path;
}

void appLog(const QString& line)
{
    const std::lock_guard lock(logMutex());
    if (logSink()) {
        logSink()(line);
        return;
    }
    // Each line in the file has the time it was written.
    writeLineToStandardError(QTime::currentTime().toString(QStringLiteral("HH:mm:ss.zzz ")) + line);
}

void setLogSink(LogSink sink)
{
    const std::lock_guard lock(logMutex());
    logSink() = std::move(sink);
}

QString logFilePath(const QString& dataFolder)
{
    return dataFolder + "/Ambrel/Ambrel.log";
}

QString redirectStandardStreams(const QString& dataFolder)
{
    if (dataFolder.isEmpty()) {
        return {};
    }
    const QString folder = dataFolder + "/Ambrel";
    // The data folder itself may be missing on a new account; the base
    // directory rules ask for it to be created.
    if (!QDir().mkpath(folder)) {
        return {};
    }
    QString path = claimLogFile(folder);
    if (path.isEmpty()) {
        return {};
    }
    const QByteArray name = QFile::encodeName(path);
    std::fflush(stdout);
    std::fflush(stderr);
    if (std::freopen(name.constData(), "a+", stdout) == nullptr) {
        return {};
    }
    const bool errorOk = std::freopen(name.constData(), "a+", stderr) != nullptr;
    const bool inputOk = std::freopen(name.constData(), "a+", stdin) != nullptr;
    // Standard output already goes to the file; the others failing is only noted there.
    if (!errorOk || !inputOk) {
        std::fprintf(stdout, "cannot reopen standard error or input on %s\n", name.constData());
        std::fflush(stdout);
    }
    return path;
}

}  // namespace ambrel::app
