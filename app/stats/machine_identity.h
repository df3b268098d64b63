// What the usage statistics say about the machine and the build: the machine
// code, the channel code and the operating-system text.
#pragma once

#include <QtCore/QByteArray>
#include <QtCore/QString>
#include <QtCore/QStringList>

#include "app/stats/settings_access.h"

namespace ambrel::app {

// The settings key of the channel code.
inline const QString kPartnerKey = QStringLiteral("Partner");

// Where Linux lists the network interfaces, one folder each.
inline const QString kSysClassNet = QStringLiteral("/sys/class/net");

// The hardware address of the machine's first physical network device: an
// interface folder under `netClassRoot` with a "device" entry (virtual ones,
// docker0, veth*, bridges, tun, have none, and get a new random address at
// every boot), Ethernet (type 1) and wired before wireless, then by name, with
// a six-byte address that is not all zeros. Empty when there is none.
[[nodiscard]] QByteArray primaryHardwareAddress(const QString& netClassRoot = kSysClassNet);

// The six bytes written in decimal and joined by ":" (0:28:66:1:2:255), then
// the first 16 of the 32 lowercase hex digits of that text's MD5 digest.
[[nodiscard]] QString machineCodeFromHardwareAddress(const QByteArray& address);
// Where systemd and D-Bus keep the installation's fixed random identifier.
inline const QString kMachineIdFile = QStringLiteral("/etc/machine-id");

// machineCodeFromHardwareAddress(primaryHardwareAddress(netClassRoot)); on a
// machine without a physical network device (a container, a virtual machine
// with virtual interfaces only), the first 16 hex digits of the MD5 digest of
// the first line of `machineIdFile` instead, so that such machines are still
// told apart and each keeps its code; the digest of empty text when that file
// is missing too.
[[nodiscard]] QString machineCode(const QString& netClassRoot = kSysClassNet,
                                  const QString& machineIdFile = kMachineIdFile);

// Where a build made for a distribution partner keeps its Configuration
// property list: the resource ":/Configuration.plist" compiled into the
// program, or <prefix>/share/ambrel/Configuration.plist beside the program's
// bin folder.
QStringList defaultConfigurationFiles();

// The string value of `key` in the root dict of an XML property list; empty
// when the file, the key or a string value is missing.
[[nodiscard]] QString propertyListString(const QString& path, const QString& key);

// The channel code: the settings value "Partner" when not empty, else the
// "Partner" of the first Configuration file that has one, else "0". The
// result is stored under "Partner".
QString channelCode(const SettingsAccess& settings, const QStringList& configurationFiles);

// "Linux-<VERSION_ID>" from the first os-release file that exists, or
// "Linux" when it has no VERSION_ID (or none exists).
[[nodiscard]] QString operatingSystemText(const QStringList& osReleaseFiles = {QStringLiteral("/etc/os-release"),
                                                                               QStringLiteral("/usr/lib/os-release")});

}  // namespace ambrel::app
