// BlueZ over the system D-Bus: the connection (DBUS_SYSTEM_BUS_ADDRESS honoured) and
// the types of its object manager.
#pragma once

#include <QDBusConnection>
#include <QDBusObjectPath>
#include <QMap>
#include <QString>
#include <QVariantMap>

namespace vkbth::bluez {

inline const QString kService = QStringLiteral("org.bluez");
// Replies that take longer than this count as no bluetoothd.
inline constexpr int kCallTimeoutMs = 5000;

using InterfaceMap = QMap<QString, QVariantMap>;  // interface -> properties
using ManagedObjects = QMap<QDBusObjectPath, InterfaceMap>;

// The library's connection to the system bus, made again after the bus went away. Not
// connected when there is no system bus. Registers the D-Bus types above.
QDBusConnection SystemBus();

}  // namespace vkbth::bluez

Q_DECLARE_METATYPE(vkbth::bluez::InterfaceMap)
Q_DECLARE_METATYPE(vkbth::bluez::ManagedObjects)
