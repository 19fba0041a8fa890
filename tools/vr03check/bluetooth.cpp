// Bluetooth as the link library will find it: bluetoothd on the system bus (read over
// D-Bus, without discovery), its adapter, the recorders it knows, and a pairing agent
// registered and unregistered again; or the virtual transport's folder when NX_BT_DIR is
// set, as the link library then uses it instead.
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusReply>
#include <QDBusVirtualObject>
#include <QDir>
#include <QFile>
#include <QMap>
#include <QVariantMap>

#include <unistd.h>

#include "checks.h"
#include "virtualbt.h"

using InterfaceMap = QMap<QString, QVariantMap>;
using ManagedObjects = QMap<QDBusObjectPath, InterfaceMap>;
Q_DECLARE_METATYPE(InterfaceMap)
Q_DECLARE_METATYPE(ManagedObjects)

namespace vr03check {
namespace {

const QString kBluez = QStringLiteral("org.bluez");
constexpr int kCallTimeoutMs = 5000;
constexpr char kPrefix[] = "VR-03M";
constexpr char kPairByHand[] =
    "bluetoothctl, then: scan on, pair ADDRESS (PIN 8779), trust ADDRESS, scan off";

// The agent object while it is registered: BlueZ may call Release on it.
class QuietAgent : public QDBusVirtualObject {
 public:
  QString introspect(const QString&) const override { return QString(); }
  bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
    connection.send(message.createErrorReply(QStringLiteral("org.bluez.Error.Rejected"),
                                             QStringLiteral("a check, not an agent")));
    return true;
  }
};

std::string DBusErrorText(const QDBusError& e) {
  return (e.name() + ": " + e.message()).toStdString();
}

void CheckVirtual(Report& report, const std::string& dir) {
  report.Add("bluetooth", "Bluetooth", Status::Ok,
             "the virtual transport in " + dir + " (NX_BT_DIR): links go to recorders there, BlueZ is not asked")
      .Fact("virtual_dir", dir);
  const QStringList names = QDir(QString::fromStdString(dir)).entryList({QStringLiteral("*.name")}, QDir::Files, QDir::Name);
  int recorders = 0;
  for (const QString& file : names) {
    QFile f(QDir(QString::fromStdString(dir)).filePath(file));
    if (!f.open(QIODevice::ReadOnly)) continue;
    const QString name = QString::fromUtf8(f.readLine()).trimmed();
    if (!name.startsWith(QLatin1String(kPrefix))) continue;
    ULONGLONG address = 0;
    const std::string addressText = file.chopped(5).toStdString();
    if (!vkbth::ParseBtAddress(addressText, &address)) continue;
    ++recorders;
    // Whether it answers is the link's question (--recorder): a socket left by a
    // recorder that died looks like one that is on.
    report.Add("recorder " + addressText, "recorder " + addressText, Status::Ok,
               name.toStdString() + ", known to the virtual transport")
        .Fact("name", name.toStdString());
  }
  if (recorders == 0)
    report.Add("recorders", "known recorders", Status::Warn,
               std::string("none whose name begins with ") + kPrefix + " in " + dir,
               "start one: vr03sim --address 00:80:25:00:00:01 --name \"VR-03M 0001\"");
}

}  // namespace

void CheckBluetooth(Report& report) {
  if (const std::string dir = vkbth::VirtualBtDir(); !dir.empty()) {
    CheckVirtual(report, dir);
    return;
  }
  qDBusRegisterMetaType<InterfaceMap>();
  qDBusRegisterMetaType<ManagedObjects>();
  const auto skipRest = [&report](const std::string& why) {
    report.Add("adapter", "Bluetooth adapter", Status::Skip, "not checked: " + why);
    report.Add("recorders", "known recorders", Status::Skip, "not checked: " + why);
    report.Add("agent", "pairing agent", Status::Skip, "not checked: " + why);
  };
  QDBusConnection bus = QDBusConnection::systemBus();
  if (!bus.isConnected()) {
    report.Add("bluetoothd", "bluetoothd", Status::Fail, "no system D-Bus: " + DBusErrorText(bus.lastError()),
               "sudo systemctl start dbus");
    skipRest("no system D-Bus");
    return;
  }
  const QDBusReply<bool> present = bus.interface()->isServiceRegistered(kBluez);
  if (!present.isValid() || !present.value()) {
    const bool installed = access("/usr/libexec/bluetooth/bluetoothd", X_OK) == 0 ||
                           access("/usr/lib/bluetooth/bluetoothd", X_OK) == 0;
    report.Add("bluetoothd", "bluetoothd", Status::Fail,
               installed ? "not running: org.bluez is not on the system bus" : "not installed (BlueZ)",
               installed ? "sudo systemctl enable --now bluetooth"
                         : "sudo apt install bluez && sudo systemctl enable --now bluetooth");
    skipRest("no bluetoothd");
    return;
  }
  report.Add("bluetoothd", "bluetoothd", Status::Ok, "running: org.bluez on the system bus");

  const QDBusMessage call = QDBusMessage::createMethodCall(kBluez, QStringLiteral("/"),
                                                           QStringLiteral("org.freedesktop.DBus.ObjectManager"),
                                                           QStringLiteral("GetManagedObjects"));
  const QDBusReply<ManagedObjects> reply = bus.call(call, QDBus::Block, kCallTimeoutMs);
  if (!reply.isValid()) {
    const bool denied = reply.error().type() == QDBusError::AccessDenied;
    report.Add("adapter", "Bluetooth adapter", Status::Fail,
               "bluetoothd does not list its objects: " + DBusErrorText(reply.error()),
               denied ? "sudo adduser " + UserName() + " bluetooth, then log out and in again" : std::string());
    report.Add("recorders", "known recorders", Status::Skip, "not checked: bluetoothd did not answer");
  } else {
    const ManagedObjects objects = reply.value();
    QString adapterPath, adapterAddress;
    bool powered = false;
    int adapters = 0;
    for (auto it = objects.cbegin(); it != objects.cend(); ++it) {
      const auto adapter = it.value().find(QStringLiteral("org.bluez.Adapter1"));
      if (adapter == it.value().cend()) continue;
      ++adapters;
      const bool on = adapter.value().value(QStringLiteral("Powered")).toBool();
      if (adapterPath.isEmpty() || (on && !powered)) {
        adapterPath = it.key().path();
        adapterAddress = adapter.value().value(QStringLiteral("Address")).toString();
        powered = on;
      }
    }
    const std::string adapterText =
        adapterPath.section('/', -1).toStdString() + " (" + adapterAddress.toStdString() + ")";
    if (adapters == 0) {
      report.Add("adapter", "Bluetooth adapter", Status::Fail, "bluetoothd has no adapter",
                 "plug in the Bluetooth adapter; 'rfkill list' shows one that is blocked (sudo rfkill unblock bluetooth)");
    } else if (!powered) {
      report.Add("adapter", "Bluetooth adapter", Status::Fail, adapterText + " is switched off",
                 "bluetoothctl power on (after 'sudo rfkill unblock bluetooth' when it is blocked)")
          .Fact("address", adapterAddress.toStdString())
          .Fact("powered", false);
    } else {
      report.Add("adapter", "Bluetooth adapter", Status::Ok, adapterText + " is switched on")
          .Fact("address", adapterAddress.toStdString())
          .Fact("powered", true);
    }

    int recorders = 0;
    for (auto it = objects.cbegin(); it != objects.cend(); ++it) {
      const auto device = it.value().find(QStringLiteral("org.bluez.Device1"));
      if (device == it.value().cend()) continue;
      const QVariantMap& p = device.value();
      const QString name = p.value(QStringLiteral("Name"), p.value(QStringLiteral("Alias"))).toString();
      if (!name.startsWith(QLatin1String(kPrefix))) continue;
      ++recorders;
      const std::string address = p.value(QStringLiteral("Address")).toString().toStdString();
      const bool paired = p.value(QStringLiteral("Paired")).toBool();
      const bool trusted = p.value(QStringLiteral("Trusted")).toBool();
      std::string text = name.toStdString() + (paired ? ", paired" : ", not paired") + (trusted ? ", trusted" : ", not trusted");
      std::string fix;
      if (!paired) {
        text += ": Ordiva pairs it with passkey 8779 when it first connects, or pair it by hand";
        fix = "bluetoothctl pair " + address + " (PIN 8779), then: bluetoothctl trust " + address;
      } else if (!trusted) {
        fix = "bluetoothctl trust " + address;
      }
      report.Add("recorder " + address, "recorder " + address, paired && trusted ? Status::Ok : Status::Warn, text, fix)
          .Fact("name", name.toStdString())
          .Fact("paired", paired)
          .Fact("trusted", trusted);
    }
    if (recorders == 0)
      report.Add("recorders", "known recorders", Status::Warn,
                 std::string("BlueZ knows no recorder whose name begins with ") + kPrefix, kPairByHand);
  }

  // The link library registers an agent like this one (never the default agent) before
  // it pairs; a bus policy or bluetoothd that refuses it fails every pairing.
  const QString path = QStringLiteral("/org/veltrak/vr03check/agent");
  QuietAgent agent;
  if (!bus.registerVirtualObject(path, &agent)) {
    report.Add("agent", "pairing agent", Status::Fail, "cannot put an object on the system bus");
    return;
  }
  QDBusMessage registration = QDBusMessage::createMethodCall(kBluez, QStringLiteral("/org/bluez"),
                                                             QStringLiteral("org.bluez.AgentManager1"),
                                                             QStringLiteral("RegisterAgent"));
  registration << QVariant::fromValue(QDBusObjectPath(path)) << QStringLiteral("KeyboardOnly");
  const QDBusMessage answer = bus.call(registration, QDBus::Block, kCallTimeoutMs);
  if (answer.type() == QDBusMessage::ErrorMessage) {
    const QDBusError error(answer);
    const bool denied = error.type() == QDBusError::AccessDenied;
    report.Add("agent", "pairing agent", Status::Fail,
               "bluetoothd refuses a pairing agent of " + UserName() + ": " + DBusErrorText(error),
               denied ? "sudo adduser " + UserName() + " bluetooth, then log out and in again" : std::string())
        .Fact("error", error.name().toStdString());
  } else {
    QDBusMessage unregister = QDBusMessage::createMethodCall(kBluez, QStringLiteral("/org/bluez"),
                                                             QStringLiteral("org.bluez.AgentManager1"),
                                                             QStringLiteral("UnregisterAgent"));
    unregister << QVariant::fromValue(QDBusObjectPath(path));
    bus.call(unregister, QDBus::Block, kCallTimeoutMs);
    report.Add("agent", "pairing agent", Status::Ok,
               "registers with bluetoothd (and was unregistered again), as the link library's does to pair");
  }
  bus.unregisterObject(path);
}

}  // namespace vr03check
