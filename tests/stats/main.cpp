// Runs the update-check and usage-statistics suites offscreen, with the home,
// cache, data and configuration folders in a temporary folder and every
// proxy off, so that requests go straight to the tests' loopback server:
//
//   ambrel_stats_tests [SUITE] [QtTest options]
#include <QtCore/QDir>
#include <QtCore/QFile>
#include <QtCore/QTemporaryDir>
#include <QtNetwork/QNetworkProxy>
#include <QtTest/QTest>
#include <QtWidgets/QApplication>

#include <openssl/evp.h>

#include <cstdio>
#include <vector>

#include "tests/app/qt_test_main.h"
#include "tests/stats/stats_test_support.h"

namespace statstest {

std::map<QString, SuiteFactory>& suites()
{
    static std::map<QString, SuiteFactory> all;
    return all;
}

QByteArray decodeAndDecipher(const QByteArray& base64, const QByteArray& key, const QByteArray& iv)
{
    const auto decoded = QByteArray::fromBase64Encoding(base64, QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded || key.size() != 16 || iv.size() != 16) {
        return {};
    }
    const QByteArray& data = *decoded;
    EVP_CIPHER_CTX* context = EVP_CIPHER_CTX_new();
    QByteArray plain(data.size() + 16, Qt::Uninitialized);
    auto* out = reinterpret_cast<unsigned char*>(plain.data());
    int written = 0;
    int last = 0;
    const bool ok =
        EVP_DecryptInit_ex(context, EVP_aes_128_cbc(), nullptr, reinterpret_cast<const unsigned char*>(key.constData()),
                           reinterpret_cast<const unsigned char*>(iv.constData())) == 1 &&
        EVP_DecryptUpdate(context, out, &written, reinterpret_cast<const unsigned char*>(data.constData()),
                          static_cast<int>(data.size())) == 1 &&
        EVP_DecryptFinal_ex(context, out + written, &last) == 1;
    EVP_CIPHER_CTX_free(context);
    if (!ok) {
        return {};
    }
    plain.truncate(written + last);
    return plain;
}

}  // namespace statstest

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    const QTemporaryDir home;
    if (!testhome::useTemporaryHome(home)) {
        return 1;
    }
    for (const char* name : {"http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"}) {
        qunsetenv(name);
    }

    QApplication app(argc, argv);
    QNetworkProxyFactory::setUseSystemConfiguration(false);
    QNetworkProxy::setApplicationProxy(QNetworkProxy::NoProxy);

    return testhome::runSuites(statstest::suites(), argc, argv);
}
