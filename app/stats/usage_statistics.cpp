#include "app/stats/usage_statistics.h"

#include <QtCore/QTimer>

#include <cstdio>

#include "app/stats/machine_identity.h"

namespace ambrel::app {

namespace {

// The truth of a stored mark: after optional spaces, "1" to "9", "Y", "y",
// "T" or "t" is true; anything else, the empty text too, is false.
bool markIsSet(const QString& text)
{
    for (const QChar c : text) {
        if (c == u' ') {
            continue;
        }
        const char16_t u = c.unicode();
        return (u >= u'1' && u <= u'9') || u == u'Y' || u == u'y' || u == u'T' || u == u't';
    }
    return false;
}

}  // namespace

UsageStatistics::UsageStatistics(SettingsAccess settings, UsageOptions options, QObject* parent)
    : QObject(parent), mSettings(std::move(settings)), mOptions(std::move(options))
{
}

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
    if (markIsSet(mSettings.read(kUploadInstallationKey))) {
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
    if (mOptions.log) {
        mOptions.log(line);
        return;
    }
    const QByteArray bytes = line.toUtf8() + '\n';
    std::fwrite(bytes.constData(), 1, static_cast<std::size_t>(bytes.size()), stderr);
    std::fflush(stderr);
}

}  // namespace ambrel::app
