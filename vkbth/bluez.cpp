// The library's system bus connection and the registration of BlueZ's D-Bus types.
#include "bluez.h"

#include <QDBusMetaType>

#include <cstdlib>
#include <mutex>
#include <string>

namespace vkbth::bluez {

QDBusConnection SystemBus() {
  static std::mutex lock;
  static int generation = 0;
  static std::string address;  // the bus address the current connection was made for
  std::lock_guard<std::mutex> guard(lock);
  static const bool registered = [] {
    qDBusRegisterMetaType<InterfaceMap>();
    qDBusRegisterMetaType<ManagedObjects>();
    return true;
  }();
  (void)registered;
  const char* env = std::getenv("DBUS_SYSTEM_BUS_ADDRESS");
  const std::string wanted = env ? env : "";
  const QString name = QStringLiteral("vkbth-system-%1").arg(generation);
  QDBusConnection current(name);
  if (current.isConnected() && wanted == address) return current;
  // A bus that went away or moved (or a first call): forget the old connection, open a
  // new one.
  QDBusConnection::disconnectFromBus(name);
  ++generation;
  address = wanted;
  // By address: the D-Bus library reads DBUS_SYSTEM_BUS_ADDRESS only once per process.
  const QString fresh = QStringLiteral("vkbth-system-%1").arg(generation);
  if (wanted.empty()) return QDBusConnection::connectToBus(QDBusConnection::SystemBus, fresh);
  return QDBusConnection::connectToBus(QString::fromStdString(wanted), fresh);
}

}  // namespace vkbth::bluez
