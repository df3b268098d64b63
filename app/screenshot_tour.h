// A scripted walk through the window that saves pictures of it, for the
// documentation: `ambrel --screenshots FOLDER FILE...`.
//
// It grabs the empty window, lists the files, converts them, grabs the window
// while a file is being converted, then with its rows, the summary alert, a
// failed row's reason and details, the smallest window, previews the largest
// converted file, opens the About window, stops a second job at once for the
// summary after a stop, saves a PNG of each step and quits. The window speaks the language
// of the environment (LANG), so one run per language gives both sets.
#pragma once

#include <QtCore/QElapsedTimer>
#include <QtCore/QObject>
#include <QtCore/QSize>
#include <QtCore/QStringList>

class QWidget;

namespace ambrel::app {

class AppDelegate;

class ScreenshotTour : public QObject
{
    Q_OBJECT
public:
    ScreenshotTour(AppDelegate& app, const QString& folder, const QStringList& files, QObject* parent = nullptr);

    // Starts the walk; the application quits at its end (exit code 1 when a
    // picture could not be saved or no row was converted).
    void start();

private:
    void after(int milliseconds, void (ScreenshotTour::*step)());
    void grab(QWidget* widget, const QString& name);
    // The screen around `widget`, with `below` more pixels under it: what the
    // window system shows there, tooltips included.
    void grabScreen(QWidget* widget, int below, const QString& name);
    void emptyWindow();
    void convert();
    void watchJob();
    void afterJob();
    void failedReason();
    void preview();
    void previewShown();
    void smallestWindow();
    void about();
    void stopJob();
    void finish();

    AppDelegate& mApp;
    QString mFolder;
    QStringList mFiles;
    bool mFailed = false;
    bool mJobGrabbed = false;
    int mPreviewWaits = 0;
    QElapsedTimer mPreviewStarted;
    QSize mNormalSize;
};

}  // namespace ambrel::app
