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
#include <QtTest/QTest>
#include <QtWidgets/QApplication>

#include <cstdio>
#include <map>
#include <memory>
#include <vector>

#include "app/app_delegate.h"
#include "tests/app/app_test_support.h"
#include "tests/app/qt_test_main.h"

using namespace ambrel::convert;
using namespace ambrel::app;

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
    ambrel::app::applyApplicationLook(app);

    return testhome::runSuites(apptest::suites(), argc, argv);
}
