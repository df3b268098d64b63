#include "app/taskbar_progress.h"

#include <QtCore/QVariantMap>
#include <QtDBus/QDBusMessage>
#include <QtGui/QGuiApplication>

#include <cmath>

namespace ambrel::app {

TaskbarProgress::TaskbarProgress(const QString& desktopFile, QDBusConnection bus)
    : mAppUri(QStringLiteral("application://%1.desktop").arg(desktopFile)), mBus(std::move(bus))
{}

TaskbarProgress::TaskbarProgress()
    : TaskbarProgress(
          QGuiApplication::desktopFileName().isEmpty() ? QStringLiteral("ambrel") : QGuiApplication::desktopFileName(),
          QDBusConnection::sessionBus())
{}

void TaskbarProgress::setProgress(int done, int total)
{
    send(total > 0 ? static_cast<double>(done) / total : 0.0, true);
}

void TaskbarProgress::clear()
{
    send(0.0, false);
}

void TaskbarProgress::send(double progress, bool visible)
{
    const int permille = static_cast<int>(std::lround(progress * 1000));
    if (!mBus.isConnected() || (permille == mSentPermille && visible == mSentVisible)) {
        return;
    }
    mSentPermille = permille;
    mSentVisible = visible;
    QDBusMessage signal =
        QDBusMessage::createSignal(QStringLiteral("/com/canonical/unity/launcherentry/ambrel"),
                                   QStringLiteral("com.canonical.Unity.LauncherEntry"), QStringLiteral("Update"));
    const QVariantMap properties{{QStringLiteral("progress"), progress}, {QStringLiteral("progress-visible"), visible}};
    signal << mAppUri << properties;
    mBus.send(signal);
}

}  // namespace ambrel::app
