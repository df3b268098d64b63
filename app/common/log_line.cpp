#include "app/common/log_line.h"

#include <QtCore/QByteArray>

#include <cstdio>

namespace ambrel::app {

void writeLineToStandardError(const QString& line)
{
    const QByteArray bytes = line.toUtf8() + '\n';
    std::fwrite(bytes.constData(), 1, static_cast<std::size_t>(bytes.size()), stderr);
    std::fflush(stderr);
}

void logLine(const LogSink& sink, const QString& line)
{
    if (sink) {
        sink(line);
        return;
    }
    writeLineToStandardError(line);
}

}  // namespace ambrel::app
