// What the window asks of the desktop: alerts, the open panels, opening an
// address, and the preview. Each is a small interface so that tests can read
// what would be shown and answer it; the Qt forms are below.
#pragma once

#include <QtCore/QStringList>
#include <QtCore/QUrl>

#include <functional>
#include <optional>

class QWidget;

namespace ambrel::app {

// An informational alert.
struct Alert
{
    QString messageText;      // the bold first line
    QString informativeText;  // the explanation
    QStringList buttons;      // first button first
    bool warning = false;     // the warning icon instead of the informational one
    // For a sheet: called with the index of the button chosen (-1 when
    // closed otherwise) once the alert is answered.
    std::function<void(int button)> answered = {};
};

class Dialogs
{
public:
    virtual ~Dialogs() = default;

    // Shows the alert application-modally and returns the index of the
    // button chosen (0 for the first); -1 when the alert was closed otherwise.
    virtual int runAlert(QWidget* parent, const Alert& alert) = 0;
    // Shows the alert on the parent's window (window-modal) and returns at
    // once; closing it does nothing further.
    virtual void showSheetAlert(QWidget* parent, const Alert& alert) = 0;
    // The open panel for HEIC files and folders, several at a time, opened
    // from `anchor`. The chosen paths in the panel's order; empty when cancelled.
    virtual QStringList openHeicPanel(QWidget* anchor) = 0;
    // The folder-only panel with the prompt "选择", on the parent's window.
    // nullopt when cancelled.
    virtual std::optional<QString> chooseFolder(QWidget* parent, const QString& startFolder) = 0;
};

class DesktopServices
{
public:
    virtual ~DesktopServices() = default;
    // Opens a folder in the file manager or an address in the browser;
    // false when the desktop could not.
    virtual bool openUrl(const QUrl& url) = 0;
    // A desktop notification (shown while the window is not in front).
    virtual void notify(const QString& title, const QString& text) = 0;
};

class PreviewPanel
{
public:
    virtual ~PreviewPanel() = default;
    // Toggles the preview: closes it when it is open, otherwise opens it on
    // the file. The file becomes the panel's item in both cases.
    virtual void previewFile(const QUrl& file) = 0;
};

// The Qt forms: message boxes, file dialogs, QDesktopServices.
class QtDialogs : public Dialogs
{
public:
    int runAlert(QWidget* parent, const Alert& alert) override;
    void showSheetAlert(QWidget* parent, const Alert& alert) override;
    QStringList openHeicPanel(QWidget* anchor) override;
    std::optional<QString> chooseFolder(QWidget* parent, const QString& startFolder) override;

private:
    QString mLastFolder;  // where the next open panel starts
};

class QtDesktopServices : public DesktopServices
{
public:
    bool openUrl(const QUrl& url) override;
    void notify(const QString& title, const QString& text) override;
};

}  // namespace ambrel::app
