// What the usage statistics say about the machine and the build: the machine
// code, the channel code and the operating-system text.
#pragma once

#include <QtCore/QByteArray>
#include <QtCore/QString>
#include <QtCore/QStringList>

#include "settings_access.h"

namespace ambrel {

// The settings key of the channel code.
inline const QString kPartnerKey = QStringLiteral("Partner");

// The hardware address of the first interface that is not the loopback and
// has a six-byte address, Ethernet interfaces first. Empty when there is none.
QByteArray primaryHardwareAddress();

// The six bytes written in decimal and joined by ":" (0:28:66:1:2:255), then
// the first 16 of the 32 lowercase hex digits of that text's MD5 digest.
QString machineCodeFromHardwareAddress(const QByteArray& address);
// machineCodeFromHardwareAddress(primaryHardwareAddress()).
QString machineCode();

// Where a build made for a distribution partner keeps its Configuration
// property list: the resource ":/Configuration.plist" compiled into the
// program, or <prefix>/share/ambrel/Configuration.plist beside the program's
// bin folder.
QStringList defaultConfigurationFiles();

// The string value of `key` in the root dict of an XML property list; empty
// when the file, the key or a string value is missing.
QString propertyListString(const QString& path, const QString& key);

// The channel code: the settings value "Partner" when not empty, else the
// "Partner" of the first Configuration file that has one, else "0". The
// result is stored under "Partner".
QString channelCode(const SettingsAccess& settings, const QStringList& configurationFiles);

// "Linux-<VERSION_ID>" from the first os-release file that exists, or
// "Linux" when it has no VERSION_ID (or none exists).
QString operatingSystemText(const QStringList& osReleaseFiles = {QStringLiteral("/etc/os-release"),
                                                                   QStringLiteral("/usr/lib/os-release")});

}  // namespace ambrel
