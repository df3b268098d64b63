#include "app/stats/usage_statistics.h"

#include <QtCore/QTimer>

#include "app/common/log_line.h"
#include "app/common/text_bool_value.h"
#include "app/stats/machine_identity.h"

namespace ambrel::app {

UsageStatistics::UsageStatistics(SettingsAccess settings, UsageOptions options, QObject* parent)
    : QObject(parent), mSettings(std::move(settings)), mOptions(std::move(options))
{}

void UsageStatistics::start()
{
    if (mRunning) {
        return;
    }
    mRunning = true;

    mReporter.SetDomainName(mOptions.host);
    mReporter.SetOS(mOptions.operatingSystem ? *mOptions.operatingSystem : operatingSystemText());
    mReporter.SetAppId(kStatsAppId);
    mReporter.SetVersion(mOptions.version);
    mReporter.SetChannelCode(channelCode(
        mSettings, mOptions.configurationFiles ? *mOptions.configurationFiles : defaultConfigurationFiles()));
    mReporter.SetMachineCode(mOptions.machineCode ? *mOptions.machineCode : machineCode());
    mReporter.setCipher(mOptions.key, mOptions.iv);
    mReporter.setTimeout(mOptions.timeout);
    mReporter.setDeadline(mOptions.deadline);
    mReporter.setLog(mOptions.log);

    if (!mReporter.canReport()) {
        log(QStringLiteral("usage statistics skipped: this build has no statistics server"));
        QTimer::singleShot(0, this, &UsageStatistics::finish);
        return;
    }
    reportInstallation();
}

void UsageStatistics::reportInstallation()
{
    if (textBoolValue(mSettings.read(kUploadInstallationKey))) {
        reportActivity();
        return;
    }
    mReporter.ProductAction(UserActionAnalysis::kInstallation, [this](bool accepted) {
        if (accepted) {
            mSettings.write(QStringLiteral("1"), kUploadInstallationKey);
        }
        reportActivity();
    });
}

void UsageStatistics::reportActivity()
{
    const QDate today = mOptions.today ? mOptions.today() : QDate::currentDate();
    const QString day = today.toString(u"yyyy/MM/dd");
    if (mSettings.read(kUploadActiveKey) == day) {
        finish();
        return;
    }
    mReporter.ProductAction(UserActionAnalysis::kActivity, [this, day](bool accepted) {
        if (accepted) {
            mSettings.write(day, kUploadActiveKey);
        }
        finish();
    });
}

void UsageStatistics::finish()
{
    mRunning = false;
    emit finished();
}

void UsageStatistics::log(const QString& line) const
{
    logLine(mOptions.log, line);
}

}  // namespace ambrel::app
