// The shared main of the QtTest programs. They point the home, cache, data,
// configuration and runtime folders into a temporary folder first, so that
// they never read or write the settings and log of the person running them,
// and run one named suite or all of them.
#pragma once

#include <QtCore/QDir>
#include <QtCore/QFile>
#include <QtCore/QStringList>
#include <QtCore/QTemporaryDir>
#include <QtTest/QTest>

#include <cstdio>
#include <memory>
#include <vector>

namespace testhome {

// Sets HOME and the XDG folders to folders of `home` (created, owner-only).
// False, with a line on standard error, when `home` could not be made.
inline bool useTemporaryHome(const QTemporaryDir& home)
{
    if (!home.isValid()) {
        std::fprintf(stderr, "cannot create a temporary home folder\n");
        return false;
    }
    const auto folder = [&home](const char* name) {
        const QString path = home.filePath(QString::fromLatin1(name));
        QDir().mkpath(path);
        QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        return QFile::encodeName(path);
    };
    qputenv("HOME", QFile::encodeName(home.path()));
    qputenv("XDG_CACHE_HOME", folder(".cache"));
    qputenv("XDG_DATA_HOME", folder(".local/share"));
    qputenv("XDG_CONFIG_HOME", folder(".config"));
    qputenv("XDG_RUNTIME_DIR", folder("runtime"));
    return true;
}

// Runs the suite named by the first argument (when it is not an option, it
// is taken out of the arguments QtTest sees), or every suite in name order.
// 0 when all passed, 1 when any failed, 2 for an unknown suite name.
template <typename SuiteMap>
int runSuites(const SuiteMap& suites, int argc, char** argv)
{
    std::vector<char*> arguments(argv, argv + argc);
    QStringList names;
    if (arguments.size() > 1 && arguments[1][0] != '-') {
        names.append(QString::fromLocal8Bit(arguments[1]));
        arguments.erase(arguments.begin() + 1);
    } else {
        for (const auto& entry : suites) {
            names.append(entry.first);
        }
    }
    int failures = 0;
    for (const QString& name : names) {
        const auto found = suites.find(name);
        if (found == suites.end()) {
            std::fprintf(stderr, "no suite named %s\n", qPrintable(name));
            return 2;
        }
        std::unique_ptr<QObject> suite = found->second();
        failures += QTest::qExec(suite.get(), static_cast<int>(arguments.size()), arguments.data());
    }
    return failures == 0 ? 0 : 1;
}

}  // namespace testhome
