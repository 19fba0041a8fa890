// Known devices: the virtual transport's folder, or BlueZ's managed objects read
// asynchronously over the system bus.
#include "devlist.h"

#include <dirent.h>

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusError>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QMap>
#include <QVariantMap>

#include <algorithm>
#include <atomic>
#include <fstream>

#include "bluez.h"
#include "virtualbt.h"

namespace vkbth {
namespace {

void SetName(BLUETOOTH_DEVICE_INFO& info, const std::u16string& name) {
  const size_t n = std::min<size_t>(name.size(), BLUETOOTH_MAX_NAME_SIZE - 1);
  std::copy_n(name.begin(), n, info.szName);
  info.szName[n] = 0;
}

BLUETOOTH_DEVICE_INFO NewInfo(ULONGLONG address) {
  BLUETOOTH_DEVICE_INFO info{};
  info.dwSize = sizeof(info);
  info.Address.ullLong = address;
  info.fRemembered = TRUE;
  return info;
}

void SortByAddress(DeviceList& list) {
  std::sort(list.devices.begin(), list.devices.end(),
            [](const BLUETOOTH_DEVICE_INFO& a, const BLUETOOTH_DEVICE_INFO& b) {
              return a.Address.ullLong < b.Address.ullLong;
            });
}

ListTrouble TroubleOf(const QDBusError& error) {
  switch (error.type()) {
    case QDBusError::AccessDenied: return ListTrouble::NoPermission;
    default: return ListTrouble::NoService;
  }
}

// The devices of powered adapters among BlueZ's managed objects.
DeviceList FromManagedObjects(const bluez::ManagedObjects& objects) {
  DeviceList list;
  QMap<QString, bool> adapters;  // object path -> powered
  for (auto it = objects.cbegin(); it != objects.cend(); ++it) {
    const auto adapter = it.value().find(QStringLiteral("org.bluez.Adapter1"));
    if (adapter != it.value().cend())
      adapters.insert(it.key().path(), adapter.value().value(QStringLiteral("Powered")).toBool());
  }
  if (adapters.isEmpty()) {
    list.trouble = ListTrouble::NoAdapter;
    return list;
  }
  if (std::none_of(adapters.cbegin(), adapters.cend(), [](bool powered) { return powered; })) {
    list.trouble = ListTrouble::BluetoothOff;
    return list;
  }
  for (auto it = objects.cbegin(); it != objects.cend(); ++it) {
    const auto device = it.value().find(QStringLiteral("org.bluez.Device1"));
    if (device == it.value().cend()) continue;
    const QVariantMap& p = device.value();
    const QString adapterPath = p.value(QStringLiteral("Adapter")).value<QDBusObjectPath>().path();
    if (!adapters.value(adapterPath, false)) continue;
    ULONGLONG address = 0;
    if (!ParseBtAddress(p.value(QStringLiteral("Address")).toString().toStdString(), &address)) continue;
    BLUETOOTH_DEVICE_INFO info = NewInfo(address);
    info.ulClassofDevice = p.value(QStringLiteral("Class")).toUInt();
    info.fConnected = p.value(QStringLiteral("Connected")).toBool();
    info.fAuthenticated = p.value(QStringLiteral("Paired")).toBool();
    SetName(info, p.value(QStringLiteral("Name")).toString().toStdU16String());
    list.devices.push_back(info);
  }
  SortByAddress(list);
  return list;
}

}  // namespace

DeviceList ListVirtualDevices(const std::string& dir) {
  DeviceList list;
  DIR* d = opendir(dir.c_str());
  if (!d) {
    list.trouble = ListTrouble::NoAdapter;  // the virtual world is not there
    return list;
  }
  const std::string suffix = ".name";
  while (dirent* e = readdir(d)) {
    const std::string file = e->d_name;
    if (file.size() <= suffix.size() || file.compare(file.size() - suffix.size(), suffix.size(), suffix) != 0)
      continue;
    ULONGLONG address = 0;
    if (!ParseBtAddress(file.substr(0, file.size() - suffix.size()), &address)) continue;
    std::ifstream in(dir + "/" + file);
    std::string name;
    std::getline(in, name);
    if (!name.empty() && name.back() == '\r') name.pop_back();
    BLUETOOTH_DEVICE_INFO info = NewInfo(address);
    info.fAuthenticated = TRUE;  // the virtual transport has no pairing
    SetName(info, QString::fromUtf8(name).toStdU16String());
    list.devices.push_back(info);
  }
  closedir(d);
  SortByAddress(list);
  return list;
}

void ListKnownDevices(QObject* context, std::function<void(DeviceList)> done) {
  const std::string dir = VirtualBtDir();
  if (!dir.empty()) {
    done(ListVirtualDevices(dir));
    return;
  }
  QDBusConnection bus = bluez::SystemBus();
  if (!bus.isConnected()) {
    done(DeviceList{{}, ListTrouble::NoService});
    return;
  }
  QDBusMessage call = QDBusMessage::createMethodCall(bluez::kService, QStringLiteral("/"),
                                                     QStringLiteral("org.freedesktop.DBus.ObjectManager"),
                                                     QStringLiteral("GetManagedObjects"));
  auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call, bluez::kCallTimeoutMs), context);
  QObject::connect(watcher, &QDBusPendingCallWatcher::finished, context, [watcher, done] {
    watcher->deleteLater();
    QDBusPendingReply<bluez::ManagedObjects> reply = *watcher;
    if (reply.isError()) done(DeviceList{{}, TroubleOf(reply.error())});
    else done(FromManagedObjects(reply.value()));
  });
}

}  // namespace vkbth
