// The usage statistics of a start: configures the reporter, then reports the
// installation (once per machine) and the activity (once per day). The
// reports go out in the background, one after the other; start() returns at
// once and the marks are stored in the settings when the server accepts:
//
//   "UploadInstallation_Key"  "1" once the installation report was accepted
//   "UploadActive_Key"        the local date ("yyyy/MM/dd") of the last
//                             accepted activity report
//
// A build without a statistics server sends nothing and logs one line.
#pragma once

#include <QtCore/QDate>
#include <QtCore/QObject>
#include <QtCore/QStringList>

#include <chrono>
#include <functional>
#include <optional>

#include "app/stats/settings_access.h"
#include "app/stats/user_action_analysis.h"

namespace ambrel::app {

inline const QString kUploadInstallationKey = QStringLiteral("UploadInstallation_Key");
inline const QString kUploadActiveKey = QStringLiteral("UploadActive_Key");

// The application number the statistics server knows this program by.
inline constexpr unsigned kStatsAppId = 25;

struct UsageOptions
{
    // The statistics server's host (with an optional ":port"), key and IV.
    QString host = deployedStatsHost();
    QByteArray key = deployedStatsKey();
    QByteArray iv = deployedStatsIv();
    QString version = deployedStatsAppVersion();
    // Computed at start() when not given.
    std::optional<QString> operatingSystem;
    std::optional<QString> machineCode;
    std::optional<QStringList> configurationFiles;
    // Today's local date; QDate::currentDate when empty.
    std::function<QDate()> today;
    std::chrono::milliseconds timeout{10000};
    // How long a whole report may take, however steadily data trickles in.
    std::chrono::milliseconds deadline = kAnswerDeadline;
    // Where log lines go; standard error when empty.
    std::function<void(const QString& line)> log;
};

class UsageStatistics : public QObject
{
    Q_OBJECT
public:
    explicit UsageStatistics(SettingsAccess settings, UsageOptions options = UsageOptions(), QObject* parent = nullptr);

    // Configures the reporter and sends the reports that are due. Returns at
    // once; finished() follows when the last answer is in. Does nothing
    // while reports are still out.
    void start();
    bool isRunning() const { return mRunning; }

    UserActionAnalysis& reporter() { return mReporter; }

signals:
    void finished();

private:
    void reportInstallation();
    void reportActivity();
    void finish();
    void log(const QString& line) const;

    SettingsAccess mSettings;
    UsageOptions mOptions;
    UserActionAnalysis mReporter;
    bool mRunning = false;
};

}  // namespace ambrel::app
