// Test programs that run the application's code point the home, cache, data,
// configuration and runtime folders into a temporary folder first, so that
// they never read or write the settings and log of the person running them.
#pragma once

#include <QtCore/QDir>
#include <QtCore/QFile>
#include <QtCore/QTemporaryDir>

#include <cstdio>

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

}  // namespace testhome
