#include "app/app_log.h"

#include <QtCore/QDir>
#include <QtCore/QFile>

#include <cstdio>
#include <mutex>

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

}  // namespace

void appLog(const QString& line)
{
    const std::lock_guard lock(logMutex());
    if (logSink()) {
        logSink()(line);
        return;
    }
    const QByteArray bytes = line.toUtf8() + '\n';
    std::fwrite(bytes.constData(), 1, static_cast<std::size_t>(bytes.size()), stderr);
    std::fflush(stderr);
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
    const QString path = logFilePath(dataFolder);
    QFile::remove(path);
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
