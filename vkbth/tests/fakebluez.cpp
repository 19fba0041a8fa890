// A stand-in for bluetoothd on a private bus, for the tests of the device list and of
// pairing: one adapter (powered, switched off, or none), the devices named on the
// command line, the agent manager, and Device1.Pair, which asks the caller's agent for
// a PIN and pairs when it is the expected one. What happens is logged, one line each.
//
// usage: fakebluez --log FILE --pin PIN [--adapter on|off|none]
//                  [--device ADDRESS,NAME,paired|unpaired[,trusted]]... [--agent refuse]
// Environment: DBUS_SYSTEM_BUS_ADDRESS names the bus. Writes "ready" to the log once it
// owns org.bluez. With --agent refuse, agent registrations are denied as a bus policy
// that keeps the user out would deny them.
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusVirtualObject>
#include <QFile>
#include <QMap>
#include <QTextStream>
#include <QVariantMap>

#include <cstdio>

using InterfaceMap = QMap<QString, QVariantMap>;
using ManagedObjects = QMap<QDBusObjectPath, InterfaceMap>;
Q_DECLARE_METATYPE(InterfaceMap)
Q_DECLARE_METATYPE(ManagedObjects)

namespace {

struct Device {
  QString address, name;
  bool paired;
  bool trusted;
  QString Path() const { return "/org/bluez/hci0/dev_" + QString(address).replace(':', '_'); }
};

class FakeBluez : public QDBusVirtualObject {
 public:
  QString log, pin, adapter = "on", agent = "accept";
  QList<Device> devices;
  QString agentOwner, agentPath;

  void Log(const QString& line) const {
    QFile f(log);
    if (f.open(QIODevice::Append | QIODevice::Text)) QTextStream(&f) << line << "\n";
  }

  QString introspect(const QString&) const override { return QString(); }

  bool handleMessage(const QDBusMessage& m, const QDBusConnection& bus) override {
    const QString member = m.member();
    if (member == "GetManagedObjects") {
      ManagedObjects objects;
      if (adapter != "none")
        objects[QDBusObjectPath("/org/bluez/hci0")]["org.bluez.Adapter1"] =
            QVariantMap{{"Powered", adapter == "on"}, {"Address", "00:1A:7D:DA:71:13"}};
      for (const Device& d : devices)
        objects[QDBusObjectPath(d.Path())]["org.bluez.Device1"] =
            QVariantMap{{"Address", d.address}, {"Name", d.name}, {"Paired", d.paired},
                        {"Trusted", d.trusted}, {"Connected", false},
                        {"Adapter", QVariant::fromValue(QDBusObjectPath("/org/bluez/hci0"))}};
      bus.send(m.createReply(QVariant::fromValue(objects)));
    } else if (member == "RegisterAgent" && agent == "refuse") {
      Log("agent refused");
      bus.send(m.createErrorReply("org.freedesktop.DBus.Error.AccessDenied", "Rejected send message"));
    } else if (member == "RegisterAgent") {
      agentOwner = m.service();
      agentPath = m.arguments().value(0).value<QDBusObjectPath>().path();
      Log("agent " + m.arguments().value(1).toString());
      bus.send(m.createReply());
    } else if (member == "RequestDefaultAgent") {
      Log("default agent");
      bus.send(m.createReply());
    } else if (member == "UnregisterAgent") {
      Log("agent gone");
      bus.send(m.createReply());
    } else if (member == "Pair") {
      Pair(m, bus);
    } else if (member == "CancelPairing") {
      bus.send(m.createReply());
    } else {
      bus.send(m.createErrorReply("org.freedesktop.DBus.Error.UnknownMethod", member));
    }
    return true;
  }

  void Pair(const QDBusMessage& m, const QDBusConnection& bus) {
    Device* device = nullptr;
    for (Device& d : devices)
      if (d.Path() == m.path()) device = &d;
    if (!device) {
      bus.send(m.createErrorReply("org.freedesktop.DBus.Error.UnknownObject", m.path()));
      return;
    }
    if (device->paired) {
      bus.send(m.createErrorReply("org.bluez.Error.AlreadyExists", "Already Exists"));
      return;
    }
    // BlueZ asks the agent of the process that started the pairing.
    if (agentOwner != m.service()) {
      Log("pair without agent");
      bus.send(m.createErrorReply("org.bluez.Error.AuthenticationFailed", "no agent"));
      return;
    }
    m.setDelayedReply(true);
    QDBusMessage ask = QDBusMessage::createMethodCall(agentOwner, agentPath, "org.bluez.Agent1", "RequestPinCode");
    ask << QVariant::fromValue(QDBusObjectPath(device->Path()));
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(ask), nullptr);
    const QString path = device->Path();
    QDBusConnection replyBus = bus;
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, [this, watcher, m, path, replyBus]() mutable {
      watcher->deleteLater();
      QDBusPendingReply<QString> answer = *watcher;
      const QString given = answer.isError() ? "(" + answer.error().name() + ")" : answer.value();
      Log("pin " + given);
      if (!answer.isError() && given == pin) {
        for (Device& d : devices)
          if (d.Path() == path) d.paired = true;
        Log("paired " + path);
        replyBus.send(m.createReply());
      } else {
        replyBus.send(m.createErrorReply("org.bluez.Error.AuthenticationFailed", "Authentication Failed"));
      }
    });
  }
};

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  qDBusRegisterMetaType<InterfaceMap>();
  qDBusRegisterMetaType<ManagedObjects>();
  FakeBluez fake;
  const QStringList args = app.arguments();
  for (int i = 1; i + 1 < args.size(); i += 2) {
    if (args[i] == "--log") fake.log = args[i + 1];
    else if (args[i] == "--pin") fake.pin = args[i + 1];
    else if (args[i] == "--adapter") fake.adapter = args[i + 1];
    else if (args[i] == "--agent") fake.agent = args[i + 1];
    else if (args[i] == "--device") {
      const QStringList parts = args[i + 1].split(',');
      if (parts.size() == 3 || parts.size() == 4)
        fake.devices.append(Device{parts[0], parts[1], parts[2] == "paired", parts.value(3) == "trusted"});
    }
  }
  QDBusConnection bus = QDBusConnection::systemBus();
  if (!bus.isConnected() || !bus.registerVirtualObject("/", &fake, QDBusConnection::SubPath) ||
      !bus.registerService("org.bluez")) {
    std::fprintf(stderr, "fakebluez: cannot serve on the bus\n");
    return 1;
  }
  fake.Log("ready");
  return app.exec();
}
