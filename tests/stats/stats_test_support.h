// Shared pieces of the update and statistics tests: suite registration, a
// log collector, and the deciphering a statistics server does.
#pragma once

#include <QtCore/QByteArray>
#include <QtCore/QObject>
#include <QtCore/QStringList>

#include <functional>
#include <map>
#include <memory>

namespace statstest {

using SuiteFactory = std::unique_ptr<QObject> (*)();
std::map<QString, SuiteFactory>& suites();
struct SuiteRegistration
{
    SuiteRegistration(const char* name, SuiteFactory factory) { suites()[QString::fromLatin1(name)] = factory; }
};
#define STATSTEST_SUITE(Name, Class)                               \
    static const statstest::SuiteRegistration registration##Class( \
        Name, []() -> std::unique_ptr<QObject> { return std::make_unique<Class>(); })

// Collects log lines.
struct LogLines
{
    QStringList lines;
    std::function<void(const QString&)> sink()
    {
        return [this](const QString& line) { lines.append(line); };
    }
};

// The key and IV the tests encipher with.
inline const QByteArray kTestKey = QByteArrayLiteral("0123456789abcdef");
inline const QByteArray kTestIv = QByteArrayLiteral("fedcba9876543210");

// Base64 decoding and AES-128-CBC deciphering with PKCS#7 padding, as the
// statistics server does. Empty when either step fails.
QByteArray decodeAndDecipher(const QByteArray& base64, const QByteArray& key, const QByteArray& iv);

}  // namespace statstest
