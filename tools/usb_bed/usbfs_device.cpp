#include "tools/usb_bed/usbfs_device.h"

#include <linux/usbdevice_fs.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>

#include "platform/abstract_socket.h"
#include "tools/usb_bed/emulator_link.h"

namespace kastrel::usb_bed {
namespace {

constexpr std::uint8_t kBulkIn = 0x81;
// Full speed in the kernel's enum usb_device_speed.
constexpr long kFullSpeed = 2;
// One transfer is one URB whatever its size; URBs may still be reaped after an unplug.
constexpr std::uint32_t kCapabilities = USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_BULK_CONTINUATION |
                                        USBDEVFS_CAP_NO_PACKET_SIZE_LIM |
                                        USBDEVFS_CAP_REAP_AFTER_DISCONNECT;

using Answer = std::pair<long, int>;
constexpr Answer kOk{0, 0};
Answer Fail(int error) { return {-1, error}; }

usbdevfs_urb& AsUrb(UMockdevIoctlData* data) {
  return *reinterpret_cast<usbdevfs_urb*>(data->data);
}

// The client's memory behind the pointer argument of an ioctl; nullptr if unreadable.
UMockdevIoctlData* Resolve(UMockdevIoctlData* data, std::size_t offset, std::size_t length) {
  GError* error = nullptr;
  auto* resolved = umockdev_ioctl_data_resolve(data, offset, length, &error);
  if (error != nullptr) g_error_free(error);
  return resolved;
}

template <typename T>
struct Resolved {
  explicit Resolved(UMockdevIoctlData* arg) : data(Resolve(arg, 0, sizeof(T))) {}
  ~Resolved() {
    if (data != nullptr) g_object_unref(data);
  }
  Resolved(const Resolved&) = delete;
  Resolved& operator=(const Resolved&) = delete;
  T* get() const { return data == nullptr ? nullptr : reinterpret_cast<T*>(data->data); }
  UMockdevIoctlData* data;
};

}  // namespace

UsbfsDevice::UsbfsDevice(DeviceIdentity id, std::string emulator_socket, unsigned node_mode,
                         EventSink events)
    : id_(id),
      emulator_socket_(std::move(emulator_socket)),
      node_mode_(node_mode),
      events_(std::move(events)),
      wake_fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

UsbfsDevice::~UsbfsDevice() {
  std::lock_guard lock(mutex_);
  while (!clients_.empty()) Forget(clients_.begin());
  if (emulator_ >= 0) close(emulator_);
  if (handler_ != nullptr) g_object_unref(handler_);
  if (wake_fd_ >= 0) close(wake_fd_);
}

bool UsbfsDevice::Attach(UMockdevTestbed* testbed, std::string& error) {
  testbed_ = testbed;
  gchar* root = umockdev_testbed_get_root_dir(testbed);
  node_path_ = std::string(root) + DevNode(id_);
  g_free(root);
  std::error_code ec;
  std::filesystem::create_directories(std::filesystem::path(node_path_).parent_path(), ec);
  if (ec) {
    error = "cannot make " + node_path_ + ": " + ec.message();
    return false;
  }
  handler_ = umockdev_ioctl_base_new();
  g_signal_connect(handler_, "handle-ioctl", G_CALLBACK(OnIoctl), this);
  g_signal_connect(handler_, "client-connected", G_CALLBACK(OnConnected), this);
  g_signal_connect(handler_, "client-vanished", G_CALLBACK(OnVanished), this);
  GError* gerror = nullptr;
  if (!umockdev_testbed_attach_ioctl(testbed, DevNode(id_).c_str(), handler_, &gerror)) {
    error = gerror != nullptr ? gerror->message : "attach_ioctl failed";
    if (gerror != nullptr) g_error_free(gerror);
    return false;
  }
  return true;
}

bool UsbfsDevice::Plug(std::string& error) {
  {
    std::lock_guard lock(mutex_);
    if (plugged_) return true;
    if (!pty_.Open(node_mode_)) {
      error = std::string("no pty: ") + std::strerror(errno);
      return false;
    }
    std::error_code ec;
    std::filesystem::remove(node_path_, ec);
    std::filesystem::create_symlink(pty_.slave_path(), node_path_, ec);
    if (ec) {
      pty_.Close();
      error = "cannot link " + node_path_ + ": " + ec.message();
      return false;
    }
    plugged_ = true;
    ++generation_;
    ConnectLocked();
  }
  // Announced first: the "add" uevent goes out at once and the client may open at once.
  events_("plugged " + DevNode(id_));
  GError* gerror = nullptr;
  if (!umockdev_testbed_add_from_string(testbed_, UdevRecord(id_).c_str(), &gerror)) {
    error = gerror != nullptr ? gerror->message : "add_from_string failed";
    if (gerror != nullptr) g_error_free(gerror);
    return false;
  }
  return true;
}

void UsbfsDevice::Unplug() {
  {
    std::lock_guard lock(mutex_);
    if (!plugged_) return;
    for (auto& [id, c] : clients_) {
      if (Gone(c)) continue;
      for (auto* list : {&c.in_pending, &c.out_pending}) {
        while (!list->empty()) {
          Finish(c, list->front(), -ESHUTDOWN, 0);
          list->pop_front();
        }
      }
      c.claimed = false;
    }
    plugged_ = false;
    pty_.Close();
    std::error_code ec;
    std::filesystem::remove(node_path_, ec);
    inbox_.clear();
    if (emulator_ >= 0) close(emulator_);
    emulator_ = -1;
  }
  events_("unplugged");
  const auto sys = SysPath(id_);
  umockdev_testbed_uevent(testbed_, sys.c_str(), "remove");
  umockdev_testbed_remove_device(testbed_, sys.c_str());
}

bool UsbfsDevice::Plugged() const {
  std::lock_guard lock(mutex_);
  return plugged_;
}

int UsbfsDevice::EmulatorFd() const {
  std::lock_guard lock(mutex_);
  return emulator_;
}

bool UsbfsDevice::WantsPacket() const {
  std::lock_guard lock(mutex_);
  // Like a module whose IN packets the host does not fetch: it waits (NAK).
  return plugged_ && emulator_ >= 0 && inbox_.empty();
}

bool UsbfsDevice::HasOutPending() const {
  std::lock_guard lock(mutex_);
  return std::any_of(clients_.begin(), clients_.end(),
                     [](const auto& entry) { return !entry.second.out_pending.empty(); });
}

bool UsbfsDevice::TryConnectEmulator() {
  std::lock_guard lock(mutex_);
  ConnectLocked();
  return emulator_ >= 0;
}

void UsbfsDevice::ConnectLocked() {
  if (!plugged_ || emulator_ >= 0) return;
  emulator_ = ConnectEmulator(emulator_socket_);
  if (emulator_ >= 0) Wake();
}

bool UsbfsDevice::ReadEmulator() {
  const int fd = EmulatorFd();
  if (fd < 0) return true;
  std::uint8_t packet[4096];
  const auto n = recv(fd, packet, sizeof packet, MSG_DONTWAIT);
  if (n < 0 && (errno == EAGAIN || errno == EINTR)) return true;
  // A zero-length packet is not the end: it completes an IN URB with no bytes, as on USB.
  if (n < 0 || (n == 0 && ostrel::SocketEnded(fd))) {
    DropEmulator();
    return false;
  }
  std::lock_guard lock(mutex_);
  inbox_.emplace_back(packet, packet + n);
  Deliver();
  UpdateFlow();
  return true;
}

void UsbfsDevice::FlushOut() {
  std::lock_guard lock(mutex_);
  for (auto& [id, c] : clients_) {
    while (!c.out_pending.empty() && SendOut(c.out_pending.front())) {
      Finish(c, c.out_pending.front(), 0, AsUrb(c.out_pending.front().urb).buffer_length);
      c.out_pending.pop_front();
    }
  }
  UpdateFlow();
}

void UsbfsDevice::DropEmulator() {
  std::lock_guard lock(mutex_);
  if (emulator_ >= 0) close(emulator_);
  emulator_ = -1;
  inbox_.clear();
}

void UsbfsDevice::ClearWake() {
  eventfd_t value;
  eventfd_read(wake_fd_, &value);
}

BedStats UsbfsDevice::Stats() const {
  std::lock_guard lock(mutex_);
  auto s = stats_;
  // The clients of this plug, and any older one still connected. An older one closed just
  // before the next open may still be listed: umockdev tells of a close late, if at all.
  s.clients = static_cast<long>(std::count_if(clients_.begin(), clients_.end(), [&](const auto& e) {
    return e.second.generation == generation_ || umockdev_ioctl_client_get_connected(e.first);
  }));
  return s;
}

void UsbfsDevice::Wake() { eventfd_write(wake_fd_, 1); }

void UsbfsDevice::Release(Urb& urb) {
  if (urb.buffer != nullptr) g_object_unref(urb.buffer);
  if (urb.urb != nullptr) g_object_unref(urb.urb);
  urb = {};
}

void UsbfsDevice::Finish(Client& c, Urb urb, int status, int actual_length) {
  auto& u = AsUrb(urb.urb);
  u.status = status;
  u.actual_length = actual_length;
  c.done.push_back(urb);
}

void UsbfsDevice::Deliver() {
  while (!inbox_.empty()) {
    Client* target = nullptr;
    std::deque<Urb>::iterator slot;
    for (auto& [id, c] : clients_) {
      if (Gone(c)) continue;
      slot = std::find_if(c.in_pending.begin(), c.in_pending.end(),
                          [](const Urb& u) { return AsUrb(u.urb).endpoint == kBulkIn; });
      if (slot != c.in_pending.end()) {
        target = &c;
        break;
      }
    }
    if (target == nullptr) return;
    const Urb urb = *slot;
    target->in_pending.erase(slot);
    auto& packet = inbox_.front();
    const auto room = static_cast<std::size_t>(std::max(AsUrb(urb.urb).buffer_length, 0));
    const auto n = std::min(packet.size(), room);
    if (n > 0) std::memcpy(urb.buffer->data, packet.data(), n);
    // A URB smaller than the packet takes what fits; the rest goes to the next URB.
    if (n < packet.size()) {
      packet.erase(packet.begin(), packet.begin() + static_cast<std::ptrdiff_t>(n));
    } else {
      inbox_.pop_front();
    }
    Finish(*target, urb, 0, static_cast<int>(n));
  }
  Wake();
}

bool UsbfsDevice::SendOut(const Urb& urb) {
  // No emulator: the bytes are lost, as with a module whose firmware does not listen.
  if (emulator_ < 0) return true;
  const auto& u = AsUrb(urb.urb);
  const void* bytes = urb.buffer != nullptr ? urb.buffer->data : nullptr;
  const auto n = send(emulator_, bytes, static_cast<std::size_t>(std::max(u.buffer_length, 0)),
                      MSG_DONTWAIT | MSG_NOSIGNAL);
  return !(n < 0 && errno == EAGAIN);
}

void UsbfsDevice::UpdateFlow() {
  const bool ready = std::any_of(clients_.begin(), clients_.end(), [this](const auto& entry) {
    return !Gone(entry.second) && !entry.second.done.empty();
  });
  pty_.SetReady(ready);
}

gboolean UsbfsDevice::OnIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
  static_cast<UsbfsDevice*>(self)->HandleIoctl(client);
  return TRUE;
}

void UsbfsDevice::OnConnected(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
  auto* device = static_cast<UsbfsDevice*>(self);
  {
    std::lock_guard lock(device->mutex_);
    device->Track(client);
  }
  device->events_("opened");
}

void UsbfsDevice::OnVanished(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
  auto* device = static_cast<UsbfsDevice*>(self);
  {
    std::lock_guard lock(device->mutex_);
    const auto it = device->clients_.find(client);
    if (it == device->clients_.end()) return;
    device->Forget(it);
    device->UpdateFlow();
  }
  device->events_("closed");
}

UsbfsDevice::Client& UsbfsDevice::Track(UMockdevIoctlClient* client) {
  // umockdev does not always say when a client goes, so closed ones are dropped here. The
  // reference held on each keeps a new client from reusing a known one's address.
  for (auto it = clients_.begin(); it != clients_.end();) {
    const auto next = std::next(it);
    if (it->first != client && !umockdev_ioctl_client_get_connected(it->first)) Forget(it);
    it = next;
  }
  auto [it, fresh] = clients_.try_emplace(client);
  if (fresh) {
    g_object_ref(client);
    it->second.generation = generation_;
  }
  return it->second;
}

void UsbfsDevice::Forget(std::map<UMockdevIoctlClient*, Client>::iterator it) {
  for (auto* list : {&it->second.in_pending, &it->second.out_pending, &it->second.done})
    for (auto& urb : *list) Release(urb);
  g_object_unref(it->first);
  clients_.erase(it);
}

// NOLINTNEXTLINE(readability-function-size): one branch per usbfs request
void UsbfsDevice::HandleIoctl(UMockdevIoctlClient* client) {
  const auto request = umockdev_ioctl_client_get_request(client);
  UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
  Answer answer = kOk;
  std::optional<Urb> reaped;
  bool claimed = false;
  {
    std::lock_guard lock(mutex_);
    const auto known = clients_.find(client);
    auto& c = known != clients_.end() ? known->second : Track(client);
    if (request == USBDEVFS_REAPURBNDELAY || request == USBDEVFS_REAPURB) {
      // REAPURB would block in the kernel; here it never holds the ioctl open.
      if (!c.done.empty()) {
        reaped = c.done.front();
        c.done.pop_front();
        Resolved<void*> slot(arg);
        if (slot.get() == nullptr || !umockdev_ioctl_data_set_ptr(slot.data, 0, reaped->urb)) {
          answer = Fail(EFAULT);
        } else {
          ++stats_.reaped;
        }
      } else if (Gone(c)) {
        answer = Fail(ENODEV);
      } else {
        ++stats_.eagain;
        answer = Fail(EAGAIN);
      }
    } else if (Gone(c)) {
      answer = Fail(ENODEV);
    } else {
      switch (request) {
        case USBDEVFS_GET_CAPABILITIES: {
          Resolved<std::uint32_t> caps(arg);
          if (caps.get() == nullptr) {
            answer = Fail(EFAULT);
          } else {
            *caps.get() = kCapabilities;
          }
          break;
        }
        case USBDEVFS_CLAIMINTERFACE: {
          Resolved<unsigned> interface(arg);
          answer = interface.get() == nullptr ? Fail(EFAULT) : Claim(client, c, *interface.get());
          claimed = answer.second == 0;
          break;
        }
        case USBDEVFS_DISCONNECT_CLAIM: {
          Resolved<usbdevfs_disconnect_claim> claim(arg);
          answer = claim.get() == nullptr ? Fail(EFAULT) : Claim(client, c, claim.get()->interface);
          claimed = answer.second == 0;
          break;
        }
        case USBDEVFS_RELEASEINTERFACE: {
          Resolved<unsigned> interface(arg);
          if (interface.get() == nullptr || *interface.get() != 0 || !c.claimed) {
            answer = Fail(EINVAL);
          } else {
            c.claimed = false;
          }
          break;
        }
        case USBDEVFS_SETINTERFACE: {
          Resolved<usbdevfs_setinterface> setting(arg);
          if (setting.get() == nullptr || setting.get()->interface != 0 ||
              setting.get()->altsetting != 0)
            answer = Fail(EINVAL);
          break;
        }
        case USBDEVFS_SETCONFIGURATION: {
          Resolved<int> value(arg);
          if (value.get() == nullptr || (*value.get() != 1 && *value.get() != -1))
            answer = Fail(EINVAL);
          break;
        }
        case USBDEVFS_CONNECTINFO: {
          Resolved<usbdevfs_connectinfo> info(arg);
          if (info.get() == nullptr) {
            answer = Fail(EFAULT);
          } else {
            info.get()->devnum = static_cast<unsigned>(id_.device);
            info.get()->slow = 0;
          }
          break;
        }
        case USBDEVFS_SUBMITURB:
          answer = Submit(c, arg);
          break;
        case USBDEVFS_DISCARDURB:
          answer = Discard(c, arg);
          break;
        case USBDEVFS_CONTROL:
          answer = Control(arg);
          break;
        case USBDEVFS_GET_SPEED:
          answer = {kFullSpeed, 0};
          break;
        case USBDEVFS_GETDRIVER:  // no kernel driver is bound to the interface
        case USBDEVFS_IOCTL:
          answer = Fail(ENODATA);
          break;
        case USBDEVFS_CLEAR_HALT:
        case USBDEVFS_RESETEP:
        case USBDEVFS_RESET:
        case USBDEVFS_DROP_PRIVILEGES:
        case USBDEVFS_FORBID_SUSPEND:
        case USBDEVFS_ALLOW_SUSPEND:
          break;
        default:
          std::fprintf(stderr, "kastrel-usb-bed: unhandled ioctl 0x%lx\n", request);
          answer = Fail(ENOTTY);
      }
    }
    UpdateFlow();
  }
  umockdev_ioctl_client_complete(client, answer.first, answer.second);
  if (reaped) Release(*reaped);
  if (claimed) events_("claimed");
}

Answer UsbfsDevice::Claim(UMockdevIoctlClient* id, Client& c, unsigned interface) {
  if (interface != 0) return Fail(ENOENT);
  for (const auto& [other_id, other] : clients_) {
    if (other_id != id && other.claimed && !Gone(other)) return Fail(EBUSY);
  }
  c.claimed = true;
  ConnectLocked();
  return kOk;
}

Answer UsbfsDevice::Submit(Client& c, UMockdevIoctlData* arg) {
  Urb urb{Resolve(arg, 0, sizeof(usbdevfs_urb)), nullptr};
  if (urb.urb == nullptr) return Fail(EFAULT);
  auto& u = AsUrb(urb.urb);
  const auto ep = u.endpoint & 0x7F;
  const bool known =
      u.endpoint == 0 || ep == 1 || (id_.shape == Shape::kOther && u.endpoint == 0x82);
  if (u.type == USBDEVFS_URB_TYPE_ISO || !known || u.buffer_length < 0) {
    Release(urb);
    return Fail(u.type == USBDEVFS_URB_TYPE_ISO ? EINVAL : ENOENT);
  }
  if (u.buffer_length > 0) {
    urb.buffer =
        Resolve(urb.urb, offsetof(usbdevfs_urb, buffer), static_cast<std::size_t>(u.buffer_length));
    if (urb.buffer == nullptr) {
      Release(urb);
      return Fail(EFAULT);
    }
  }
  ++stats_.submitted;
  if (u.type == USBDEVFS_URB_TYPE_CONTROL) {
    // The 8-byte setup packet, then the data stage.
    if (u.buffer_length < 8) {
      Finish(c, urb, -EPIPE, 0);
      return kOk;
    }
    const auto reply =
        ControlReply(urb.buffer->data, static_cast<std::size_t>(u.buffer_length - 8));
    if (!reply) {
      Finish(c, urb, -EPIPE, 0);
    } else {
      std::memcpy(urb.buffer->data + 8, reply->data(), reply->size());
      Finish(c, urb, 0, static_cast<int>(reply->size()));
    }
    return kOk;
  }
  if (u.endpoint & 0x80) {
    c.in_pending.push_back(urb);
    ConnectLocked();
    Deliver();
    return kOk;
  }
  ConnectLocked();
  if (c.out_pending.empty() && SendOut(urb)) {
    Finish(c, urb, 0, u.buffer_length);
  } else {
    c.out_pending.push_back(urb);
    Wake();
  }
  return kOk;
}

Answer UsbfsDevice::Discard(Client& c, UMockdevIoctlData* arg) {
  // The argument is the client's own address of the URB.
  gulong address = 0;
  std::memcpy(&address, arg->data,
              std::min(sizeof address, static_cast<std::size_t>(arg->data_len)));
  for (auto* list : {&c.in_pending, &c.out_pending}) {
    const auto it = std::find_if(list->begin(), list->end(),
                                 [address](const Urb& u) { return u.urb->client_addr == address; });
    if (it != list->end()) {
      Finish(c, *it, -ECONNRESET, 0);
      list->erase(it);
      return kOk;
    }
  }
  return Fail(EINVAL);
}

Answer UsbfsDevice::Control(UMockdevIoctlData* arg) {
  Resolved<usbdevfs_ctrltransfer> transfer(arg);
  if (transfer.get() == nullptr) return Fail(EFAULT);
  const auto& t = *transfer.get();
  std::uint8_t setup[8] = {t.bRequestType,
                           t.bRequest,
                           static_cast<std::uint8_t>(t.wValue & 0xFF),
                           static_cast<std::uint8_t>(t.wValue >> 8),
                           static_cast<std::uint8_t>(t.wIndex & 0xFF),
                           static_cast<std::uint8_t>(t.wIndex >> 8),
                           static_cast<std::uint8_t>(t.wLength & 0xFF),
                           static_cast<std::uint8_t>(t.wLength >> 8)};
  const auto reply = ControlReply(setup, t.wLength);
  if (!reply) return Fail(EPIPE);
  if (!reply->empty()) {
    UMockdevIoctlData* data =
        Resolve(transfer.data, offsetof(usbdevfs_ctrltransfer, data), t.wLength);
    if (data == nullptr) return Fail(EFAULT);
    std::memcpy(data->data, reply->data(), reply->size());
    g_object_unref(data);
  }
  return {static_cast<long>(reply->size()), 0};
}

std::optional<std::vector<std::uint8_t>> UsbfsDevice::ControlReply(const std::uint8_t* setup,
                                                                   std::size_t room) const {
  const std::uint8_t request_type = setup[0];
  const std::uint8_t request = setup[1];
  const std::uint8_t descriptor_type = setup[3];
  std::vector<std::uint8_t> reply;
  if (request_type == 0x80 && request == 0x06 && descriptor_type == 0x01) {
    reply = Descriptors(id_);
    reply.resize(18);
  } else if (request_type == 0x80 && request == 0x06 && descriptor_type == 0x02) {
    reply = ConfigurationDescriptor(id_);
  } else if (request_type == 0x80 && request == 0x08) {
    reply = {1};
  } else if ((request_type & 0x80) == 0 && (request == 0x09 || request == 0x0B)) {
    // SET_CONFIGURATION 1 and SET_INTERFACE 0 change nothing.
  } else {
    return std::nullopt;  // a stall, as for any request the module does not know
  }
  if (reply.size() > room) reply.resize(room);
  return reply;
}

}  // namespace kastrel::usb_bed
