// Runs the application's QtTest suites offscreen, with the home, cache, data
// and configuration folders in a temporary folder:
//
//   ambrel_app_tests [SUITE] [QtTest options]
//
// runs one suite (Settings, Controls, FileList, Job, PreviewAbout, Startup),
// or all of them when no suite is named.
#include <QtCore/QDir>
#include <QtCore/QFile>
#include <QtCore/QTemporaryDir>
#include <QtWidgets/QApplication>
#include <QtTest/QTest>

#include <cstdio>
#include <map>
#include <memory>
#include <vector>

#include "app_delegate.h"
#include "temporary_home.h"
#include "app_test_support.h"

namespace apptest {
std::map<QString, SuiteFactory>& suites();
}

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    const QTemporaryDir home;
    if (!testhome::useTemporaryHome(home)) {
        return 1;
    }

    QApplication app(argc, argv);
    ambrel::applyApplicationLook(app);

    std::vector<char*> arguments(argv, argv + argc);
    QStringList names;
    if (arguments.size() > 1 && arguments[1][0] != '-') {
        names.append(QString::fromLocal8Bit(arguments[1]));
        arguments.erase(arguments.begin() + 1);
    } else {
        for (const auto& [name, factory] : apptest::suites()) {
            names.append(name);
        }
    }
    int failures = 0;
    for (const QString& name : names) {
        const auto found = apptest::suites().find(name);
        if (found == apptest::suites().end()) {
            std::fprintf(stderr, "no suite named %s\n", qPrintable(name));
            return 2;
        }
        std::unique_ptr<QObject> suite = found->second();
        failures += QTest::qExec(suite.get(), static_cast<int>(arguments.size()), arguments.data());
    }
    return failures == 0 ? 0 : 1;
}
