// The job's progress on the application's entry in the task bar or dock.
//
// Linux desktops have no common toolkit call for it; docks and task bars of
// several desktops (KDE Plasma, Ubuntu's dock, Plank, Latte) read the
// "com.canonical.Unity.LauncherEntry" signal on the session bus, naming the
// application by its desktop file. Without a session bus nothing is sent.
#pragma once

#include <QtCore/QString>
#include <QtDBus/QDBusConnection>

namespace ambrel::app {

class TaskbarProgress
{
public:
    // `desktopFile` names the entry ("ambrel" for ambrel.desktop); the
    // signals go out on `bus`.
    TaskbarProgress(const QString& desktopFile, QDBusConnection bus);
    // The session bus, with the application's desktop file name.
    TaskbarProgress();

    // Shows `done` of `total` on the entry.
    void setProgress(int done, int total);
    // Hides the progress.
    void clear();

private:
    void send(double progress, bool visible);

    QString mAppUri;
    QDBusConnection mBus;
    // What was sent last; the same state is not sent again.
    int mSentPermille = -1;
    bool mSentVisible = false;
};

}  // namespace ambrel::app
