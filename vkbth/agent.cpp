// The pairing agent on its own thread, the table of registered passkeys, and pairing
// before a connect.
#include "agent.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QDBusPendingReply>
#include <QDBusVirtualObject>
#include <QThread>

#include <map>
#include <mutex>

#include "bluez.h"
#include "virtualbt.h"

namespace vkbth::bluez {
namespace {

const QString kAgentPath = QStringLiteral("/org/veltrak/vkbth/agent");
const QString kAgentInterface = QStringLiteral("org.bluez.Agent1");
const QString kRejected = QStringLiteral("org.bluez.Error.Rejected");
constexpr int kPairTimeoutMs = 60000;

struct Registration {
  BTH_ADDR address;
  std::u16string passkey;
};

// The registered passkeys; the lock guards the table and the agent's state.
std::mutex g_lock;
std::map<uintptr_t, Registration> g_registrations;
uintptr_t g_nextHandle = 1;

// The device address of a BlueZ device object path (".../dev_00_80_25_12_34_56").
bool AddressOfPath(const QString& path, BTH_ADDR* address) {
  const int at = path.lastIndexOf(QStringLiteral("/dev_"));
  if (at < 0) return false;
  QString text = path.mid(at + 5);
  text.replace('_', ':');
  return ParseBtAddress(text.toStdString(), address);
}

// The agent: answers PIN and passkey requests for registered devices, rejects the rest.
class Agent : public QDBusVirtualObject {
 public:
  QString introspect(const QString& /*path*/) const override {
    return QStringLiteral(
        "<interface name=\"org.bluez.Agent1\">"
        "<method name=\"Release\"/>"
        "<method name=\"RequestPinCode\"><arg type=\"o\" direction=\"in\"/><arg type=\"s\" direction=\"out\"/></method>"
        "<method name=\"RequestPasskey\"><arg type=\"o\" direction=\"in\"/><arg type=\"u\" direction=\"out\"/></method>"
        "<method name=\"DisplayPasskey\"><arg type=\"o\"/><arg type=\"u\"/><arg type=\"q\"/></method>"
        "<method name=\"DisplayPinCode\"><arg type=\"o\"/><arg type=\"s\"/></method>"
        "<method name=\"RequestConfirmation\"><arg type=\"o\"/><arg type=\"u\"/></method>"
        "<method name=\"RequestAuthorization\"><arg type=\"o\"/></method>"
        "<method name=\"AuthorizeService\"><arg type=\"o\"/><arg type=\"s\"/></method>"
        "<method name=\"Cancel\"/>"
        "</interface>");
  }

  bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
    if (message.interface() != kAgentInterface && !message.interface().isEmpty()) return false;
    const QString member = message.member();
    QDBusMessage reply = message.createErrorReply(kRejected, QStringLiteral("not a device of this program"));
    if (member == QLatin1String("Release") || member == QLatin1String("Cancel")) {
      reply = message.createReply();
    } else if (member == QLatin1String("RequestPinCode") || member == QLatin1String("RequestPasskey")) {
      BTH_ADDR address = 0;
      const QList<QVariant> args = message.arguments();
      const QString path = args.isEmpty() ? QString() : args[0].value<QDBusObjectPath>().path();
      const std::u16string passkey = AddressOfPath(path, &address) ? PasskeyFor(address) : std::u16string();
      const QString key = QString::fromStdU16String(passkey);
      bool digits = !key.isEmpty() && key.size() <= 6;
      for (QChar c : key) digits = digits && c >= '0' && c <= '9';
      if (member == QLatin1String("RequestPinCode") && !key.isEmpty())
        reply = message.createReply(key);
      else if (member == QLatin1String("RequestPasskey") && digits)
        reply = message.createReply(QVariant::fromValue(key.toUInt()));
    }
    connection.send(reply);
    return true;
  }
};

// The agent's thread and registration; made once, the first time a passkey is
// registered outside the virtual transport. Guarded by g_lock.
struct AgentHost {
  QThread* thread = nullptr;
  Agent* agent = nullptr;
  QDBusPendingCall registration = QDBusPendingCall::fromCompletedCall(QDBusMessage());
  bool registered = false;
  QString busName;  // the connection the agent is registered on
};
AgentHost g_host;

void StartAgentLocked() {
  if (!QCoreApplication::instance()) return;
  QDBusConnection bus = SystemBus();
  if (!bus.isConnected()) return;
  if (g_host.registered && g_host.busName == bus.name()) return;
  g_host.registered = false;  // a new connection (the bus came back): register there
  if (!g_host.thread) {
    g_host.thread = new QThread;
    g_host.thread->setObjectName(QStringLiteral("vkbth-agent"));
    g_host.thread->start();
    g_host.agent = new Agent;
    g_host.agent->moveToThread(g_host.thread);
  }
  if (!bus.registerVirtualObject(kAgentPath, g_host.agent)) return;
  QDBusMessage call = QDBusMessage::createMethodCall(kService, QStringLiteral("/org/bluez"),
                                                    QStringLiteral("org.bluez.AgentManager1"),
                                                    QStringLiteral("RegisterAgent"));
  call << QVariant::fromValue(QDBusObjectPath(kAgentPath)) << QStringLiteral("KeyboardOnly");
  g_host.registration = bus.asyncCall(call, kCallTimeoutMs);
  g_host.registered = true;
  g_host.busName = bus.name();
}

// Waits for a reply while the calling thread may be ended (NxSleep fails then).
DWORD WaitFor(QDBusPendingCall& call, int timeoutMs) {
  for (int waited = 0; !call.isFinished(); waited += 10) {
    if (waited >= timeoutMs) return ERROR_TIMEOUT;
    if (!NxSleep(10)) return GetLastError();
  }
  return ERROR_SUCCESS;
}

// The object path of the device and whether BlueZ has it paired; empty when unknown.
QString FindDevice(QDBusConnection& bus, BTH_ADDR address, bool* paired, DWORD* error) {
  QDBusMessage call = QDBusMessage::createMethodCall(kService, QStringLiteral("/"),
                                                    QStringLiteral("org.freedesktop.DBus.ObjectManager"),
                                                    QStringLiteral("GetManagedObjects"));
  QDBusPendingCall pending = bus.asyncCall(call, kCallTimeoutMs);
  *error = WaitFor(pending, kCallTimeoutMs + 1000);
  if (*error != ERROR_SUCCESS) return QString();
  QDBusPendingReply<ManagedObjects> reply = pending;
  if (reply.isError()) return QString();
  const QString text = QString::fromStdString(BtAddressText(address));
  const ManagedObjects objects = reply.value();
  for (auto it = objects.cbegin(); it != objects.cend(); ++it) {
    const auto device = it.value().find(QStringLiteral("org.bluez.Device1"));
    if (device == it.value().cend()) continue;
    if (device.value().value(QStringLiteral("Address")).toString().compare(text, Qt::CaseInsensitive) != 0) continue;
    *paired = device.value().value(QStringLiteral("Paired")).toBool();
    return it.key().path();
  }
  return QString();
}

}  // namespace

HBLUETOOTH_AUTHENTICATION_REGISTRATION RegisterPasskey(BTH_ADDR address, const WCHAR* passkey) {
  std::lock_guard<std::mutex> guard(g_lock);
  const uintptr_t handle = g_nextHandle++;
  g_registrations[handle] = Registration{address, std::u16string(passkey)};
  if (VirtualBtDir().empty()) StartAgentLocked();
  return reinterpret_cast<HBLUETOOTH_AUTHENTICATION_REGISTRATION>(handle);
}

void UnregisterPasskey(HBLUETOOTH_AUTHENTICATION_REGISTRATION registration) {
  std::lock_guard<std::mutex> guard(g_lock);
  g_registrations.erase(reinterpret_cast<uintptr_t>(registration));
}

std::u16string PasskeyFor(BTH_ADDR address) {
  std::lock_guard<std::mutex> guard(g_lock);
  for (auto it = g_registrations.rbegin(); it != g_registrations.rend(); ++it)
    if (it->second.address == address) return it->second.passkey;
  return std::u16string();
}

DWORD PairIfNeeded(BTH_ADDR address) {
  if (!VirtualBtDir().empty() || PasskeyFor(address).empty()) return ERROR_SUCCESS;
  QDBusPendingCall registration = QDBusPendingCall::fromCompletedCall(QDBusMessage());
  {
    std::lock_guard<std::mutex> guard(g_lock);
    StartAgentLocked();
    if (!g_host.registered) return ERROR_SUCCESS;  // no bus: the connect fails on its own
    registration = g_host.registration;
  }
  DWORD error = WaitFor(registration, kCallTimeoutMs + 1000);
  if (error != ERROR_SUCCESS) return error == ERROR_TIMEOUT ? ERROR_SUCCESS : error;
  QDBusConnection bus = SystemBus();
  bool paired = false;
  const QString path = FindDevice(bus, address, &paired, &error);
  if (error != ERROR_SUCCESS) return error == ERROR_TIMEOUT ? ERROR_SUCCESS : error;
  if (path.isEmpty() || paired) return ERROR_SUCCESS;
  QDBusPendingCall pair = bus.asyncCall(
      QDBusMessage::createMethodCall(kService, path, QStringLiteral("org.bluez.Device1"), QStringLiteral("Pair")),
      kPairTimeoutMs);
  error = WaitFor(pair, kPairTimeoutMs + 1000);
  if (error != ERROR_SUCCESS) {
    // Given up (the thread is being ended): BlueZ stops trying too.
    bus.asyncCall(QDBusMessage::createMethodCall(kService, path, QStringLiteral("org.bluez.Device1"),
                                                 QStringLiteral("CancelPairing")));
    return error;
  }
  if (!pair.isError()) return ERROR_SUCCESS;
  const QString name = pair.error().name();
  if (name == QLatin1String("org.bluez.Error.AlreadyExists")) return ERROR_SUCCESS;
  if (name.startsWith(QLatin1String("org.bluez.Error.Authentication"))) return ERROR_NOT_AUTHENTICATED;
  return WSAEHOSTDOWN;  // the device did not answer the pairing
}

}  // namespace vkbth::bluez
