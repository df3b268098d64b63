// A scripted walk through the window that saves pictures of it, for the
// documentation: `ambrel --screenshots FOLDER FILE...`.
//
// It grabs the empty window, lists the files, converts them, grabs the window
// with its rows and the summary alert, previews the first converted file,
// opens the About window, saves a PNG of each step and quits.
#pragma once

#include <QtCore/QObject>
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
    void emptyWindow();
    void convert();
    void afterJob();
    void preview();
    void about();
    void finish();

    AppDelegate& mApp;
    QString mFolder;
    QStringList mFiles;
    bool mFailed = false;
};

}  // namespace ambrel::app
