// The module's driver over libusb-1.0, falling back to the abstract socket.
#include "platform/usb_libusb.h"

#include <libusb.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace ostrel {

bool HasModuleShape(std::span<const UsbEndpoint> endpoints) {
  constexpr std::uint8_t kIn = LIBUSB_ENDPOINT_IN;
  constexpr std::uint8_t kTypeMask = LIBUSB_TRANSFER_TYPE_MASK;
  constexpr std::uint16_t kPacket = 64;
  // wMaxPacketSize bits 11-12 count extra high-bandwidth transactions; a bulk
  // endpoint has none, so the whole value must be 64.
  auto is = [&](const UsbEndpoint& e, bool in) {
    return (e.attributes & kTypeMask) == LIBUSB_TRANSFER_TYPE_BULK &&
           ((e.address & kIn) != 0) == in && e.max_packet == kPacket;
  };
  return endpoints.size() == 2 && is(endpoints[0], true) && is(endpoints[1], false);
}

namespace {

constexpr int kPacket = 64;
// A module that stops taking data costs the window at most this per packet written.
constexpr unsigned kWriteTimeoutMs = 100;
// Packets read ahead of the read thread. While it sleeps (the receive cycle holds
// RxBuffer for up to a tick) the module's packets wait here, each still one transfer, as
// the link keeps packet boundaries to tell a command's reply from the stream. Full,
// reading stops and the module keeps its data, as a real USB host does.
constexpr int kReadAhead = 128;
// How long Close waits for libusb to give back a cancelled transfer.
constexpr auto kCancelWait = std::chrono::seconds(2);

std::string NodeOf(libusb_device* dev) {
  char node[32];
  std::snprintf(node, sizeof node, "/dev/bus/usb/%03u/%03u", libusb_get_bus_number(dev),
                libusb_get_device_address(dev));
  return node;
}

// Pipe 0 and pipe 1 of a device of the module's shape. Interface 0's first alternate
// setting is the current one: nothing but the panel selects another, and it never does.
bool ModulePipes(libusb_device* dev, std::uint8_t& in, std::uint8_t& out) {
  libusb_config_descriptor* config = nullptr;
  if (libusb_get_active_config_descriptor(dev, &config) != 0) return false;
  std::vector<UsbEndpoint> endpoints;
  for (int i = 0; i < config->bNumInterfaces; ++i) {
    const libusb_interface& itf = config->interface[i];
    if (itf.num_altsetting < 1 || itf.altsetting[0].bInterfaceNumber != 0) continue;
    const libusb_interface_descriptor& alt = itf.altsetting[0];
    for (int e = 0; e < alt.bNumEndpoints; ++e)
      endpoints.push_back({alt.endpoint[e].bEndpointAddress, alt.endpoint[e].bmAttributes,
                           alt.endpoint[e].wMaxPacketSize});
    break;
  }
  libusb_free_config_descriptor(config);
  if (!HasModuleShape(endpoints)) return false;
  in = endpoints[0].address;
  out = endpoints[1].address;
  return true;
}

// One opened module: interface 0 claimed, one IN transfer kept in flight (reading ahead
// into a ring of packets) and one OUT transfer used a packet at a time. Every flag below
// is guarded by mu_; the completions arrive on libusb's event thread.
class UsbHandle {
 public:
  static std::shared_ptr<UsbHandle> Open(libusb_device* dev, std::uint8_t in, std::uint8_t out,
                                         int& error) {
    libusb_device_handle* handle = nullptr;
    error = libusb_open(dev, &handle);
    if (error != 0) return nullptr;
    // A kernel driver bound to the interface would make the claim fail; not supported
    // where there are no kernel drivers, which is fine.
    (void)libusb_set_auto_detach_kernel_driver(handle, 1);
    error = libusb_claim_interface(handle, 0);
    if (error != 0) {
      libusb_close(handle);
      return nullptr;
    }
    auto opened = std::shared_ptr<UsbHandle>(new UsbHandle(handle, in, out));
    if (!opened->in_ || !opened->out_) {
      error = LIBUSB_ERROR_NO_MEM;
      return nullptr;
    }
    std::lock_guard lock(opened->mu_);
    opened->SubmitIn();
    return opened;
  }

  ~UsbHandle() {
    libusb_release_interface(handle_, 0);
    libusb_close(handle_);
    libusb_free_transfer(in_);
    libusb_free_transfer(out_);
  }

  UsbHandle(const UsbHandle&) = delete;
  UsbHandle& operator=(const UsbHandle&) = delete;

  int Read(std::uint8_t* dst, int max) {
    std::unique_lock lock(mu_);
    cv_.wait(lock, [&] { return count_ > 0 || ended_ || aborted_ || shut_; });
    if (aborted_ || shut_ || count_ == 0) return 0;
    const Packet& p = ring_[static_cast<std::size_t>(head_)];
    // As with a datagram, what does not fit is lost; the link always asks for a packet.
    const int n = std::min(p.length, max);
    std::memcpy(dst, p.bytes.data(), static_cast<std::size_t>(n));
    head_ = (head_ + 1) % kReadAhead;
    --count_;
    SubmitIn();  // reading stopped while the ring was full
    return n;
  }

  void Write(const std::uint8_t* src, int len) {
    std::unique_lock lock(mu_);
    for (int off = 0; off < len && !ended_ && !shut_; off += kPacket) {
      const int count = std::min(len - off, kPacket);
      std::memcpy(out_bytes_.data(), src + off, static_cast<std::size_t>(count));
      libusb_fill_bulk_transfer(out_, handle_, out_pipe_, out_bytes_.data(), count, &OutDone, this,
                                kWriteTimeoutMs);
      if (libusb_submit_transfer(out_) != 0) return;
      out_busy_ = true;
      // libusb ends the transfer itself when the timeout passes.
      cv_.wait(lock, [&] { return !out_busy_; });
      if (out_status_ != LIBUSB_TRANSFER_COMPLETED) return;
    }
  }

  void Abort() {
    std::lock_guard lock(mu_);
    aborted_ = true;
    if (in_flight_) libusb_cancel_transfer(in_);
    cv_.notify_all();
  }

  // No more transfers; true once none is in flight, so the handle may be freed.
  bool Shut() {
    std::unique_lock lock(mu_);
    shut_ = true;
    if (in_flight_) libusb_cancel_transfer(in_);
    cv_.notify_all();
    return cv_.wait_for(lock, kCancelWait, [&] { return !in_flight_ && !out_busy_; });
  }

 private:
  struct Packet {
    int length = 0;
    std::array<std::uint8_t, kPacket> bytes{};
  };

  UsbHandle(libusb_device_handle* handle, std::uint8_t in, std::uint8_t out)
      : handle_(handle),
        in_pipe_(in),
        out_pipe_(out),
        in_(libusb_alloc_transfer(0)),
        out_(libusb_alloc_transfer(0)) {}

  // Keeps one IN transfer in flight while there is room for its packet. mu_ held.
  void SubmitIn() {
    if (in_flight_ || ended_ || aborted_ || shut_ || count_ == kReadAhead) return;
    libusb_fill_bulk_transfer(in_, handle_, in_pipe_, in_bytes_.data(), kPacket, &InDone, this, 0);
    if (libusb_submit_transfer(in_) == 0) {
      in_flight_ = true;
    } else {
      ended_ = true;  // gone already (NO_DEVICE): reads end at once from now on
      cv_.notify_all();
    }
  }

  static void LIBUSB_CALL InDone(libusb_transfer* t) {
    auto* self = static_cast<UsbHandle*>(t->user_data);
    std::lock_guard lock(self->mu_);
    self->in_flight_ = false;
    if (t->status == LIBUSB_TRANSFER_COMPLETED) {
      // A zero-length packet carries nothing; the module never sends one.
      if (t->actual_length > 0) {
        Packet& p =
            self->ring_[static_cast<std::size_t>((self->head_ + self->count_) % kReadAhead)];
        p.length = std::min(t->actual_length, kPacket);
        std::memcpy(p.bytes.data(), t->buffer, static_cast<std::size_t>(p.length));
        ++self->count_;
      }
      self->SubmitIn();
    } else if (t->status != LIBUSB_TRANSFER_CANCELLED) {
      // NO_DEVICE when unplugged; a stall or error ends the reading alike, and the
      // silence rule closes the link and opens it afresh.
      self->ended_ = true;
    }
    self->cv_.notify_all();
  }

  static void LIBUSB_CALL OutDone(libusb_transfer* t) {
    auto* self = static_cast<UsbHandle*>(t->user_data);
    std::lock_guard lock(self->mu_);
    self->out_busy_ = false;
    self->out_status_ = t->status;
    if (t->status == LIBUSB_TRANSFER_NO_DEVICE) self->ended_ = true;
    self->cv_.notify_all();
  }

  libusb_device_handle* const handle_;
  const std::uint8_t in_pipe_;
  const std::uint8_t out_pipe_;
  libusb_transfer* const in_;
  libusb_transfer* const out_;
  std::array<std::uint8_t, kPacket> in_bytes_{};
  std::array<std::uint8_t, kPacket> out_bytes_{};

  std::mutex mu_;
  std::condition_variable cv_;
  std::array<Packet, kReadAhead> ring_{};
  int head_ = 0;
  int count_ = 0;
  bool in_flight_ = false;
  bool out_busy_ = false;
  int out_status_ = LIBUSB_TRANSFER_COMPLETED;
  bool ended_ = false;
  bool aborted_ = false;
  bool shut_ = false;
};

class LibusbDriver final : public UsbDriver {
 public:
  LibusbDriver(std::vector<UsbId> ids, std::string socket_name, UsbNoticeSink notice)
      : ids_(std::move(ids)),
        socket_(MakeSocketUsbDriver(std::move(socket_name))),
        notice_(std::move(notice)) {
    if (libusb_init(&ctx_) != 0) {
      ctx_ = nullptr;
      return;
    }
    // Presence comes from hot-plug events (udev), never from walking the device list on
    // every tick. ENUMERATE reports the devices already there, on this thread.
    if (!libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG) ||
        libusb_hotplug_register_callback(
            ctx_,
            static_cast<libusb_hotplug_event>(LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED |
                                              LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT),
            LIBUSB_HOTPLUG_ENUMERATE, LIBUSB_HOTPLUG_MATCH_ANY, LIBUSB_HOTPLUG_MATCH_ANY,
            LIBUSB_HOTPLUG_MATCH_ANY, &Hotplug, this, &hotplug_) != 0) {
      libusb_exit(ctx_);
      ctx_ = nullptr;
      return;
    }
    events_ = std::thread([this] { HandleEvents(); });
  }

  ~LibusbDriver() override {
    Close();
    if (!ctx_) return;
    stop_.store(true);
    libusb_hotplug_deregister_callback(ctx_, hotplug_);
    libusb_interrupt_event_handler(ctx_);
    events_.join();
    for (const Present& p : present_) libusb_unref_device(p.dev);
    libusb_exit(ctx_);
  }

  LibusbDriver(const LibusbDriver&) = delete;
  LibusbDriver& operator=(const LibusbDriver&) = delete;

  bool Open() override {
    Close();
    std::shared_ptr<UsbHandle> opened;
    for (const Present& p : Candidates()) {
      int error = 0;
      if (!opened) opened = UsbHandle::Open(p.dev, p.in, p.out, error);
      if (error == LIBUSB_ERROR_ACCESS) {
        Refused(p.dev);
        Tell(UsbNotice::Kind::kRefused, p.id, NodeOf(p.dev));
      }
      libusb_unref_device(p.dev);
    }
    if (!opened) return socket_->Open();
    std::lock_guard lock(mu_);
    usb_ = std::move(opened);
    return true;
  }

  int BulkRead(std::uint8_t* dst, int max) override {
    if (max <= 0) return 0;
    if (const std::shared_ptr<UsbHandle> usb = Usb()) return usb->Read(dst, max);
    return socket_->BulkRead(dst, max);
  }

  void BulkWrite(const std::uint8_t* src, int len) override {
    if (len <= 0) return;
    if (const std::shared_ptr<UsbHandle> usb = Usb())
      usb->Write(src, len);
    else
      socket_->BulkWrite(src, len);
  }

  void AbortRead() override {
    if (const std::shared_ptr<UsbHandle> usb = Usb())
      usb->Abort();
    else
      socket_->AbortRead();
  }

  void Close() override {
    std::shared_ptr<UsbHandle> usb;
    {
      std::lock_guard lock(mu_);
      usb.swap(usb_);
    }
    // A transfer libusb never gave back still points at the handle: it is kept for good.
    if (usb && !usb->Shut()) new std::shared_ptr<UsbHandle>(std::move(usb));
    socket_->Close();
  }

  bool IsOpen() const override { return Usb() != nullptr || socket_->IsOpen(); }

  // With ids named, a module is announced by hot-plug; the socket beside it (its
  // emulator) is tried once a second, so an idle panel wakes no more often.
  int OpenRetryInterval() const override { return ids_.empty() || !ctx_ ? 100 : 1000; }

  void SetArrivalHook(const std::function<void()>& hook) override {
    std::lock_guard lock(present_mu_);
    arrival_hook_ = hook;
  }

 private:
  struct Present {
    libusb_device* dev = nullptr;
    UsbId id;
    bool module = false;
    // Not opened again until it is plugged in again: the cure, a udev rule, needs that
    // anyway, and a device node is not worth an open() every tick.
    bool refused = false;
    std::uint8_t in = 0;
    std::uint8_t out = 0;
  };

  std::shared_ptr<UsbHandle> Usb() const {
    std::lock_guard lock(mu_);
    return usb_;
  }

  bool Named(UsbId id) const { return std::find(ids_.begin(), ids_.end(), id) != ids_.end(); }

  // The present devices worth an open, each with a reference the caller gives back.
  std::vector<Present> Candidates() {
    std::vector<Present> out;
    std::lock_guard lock(present_mu_);
    for (const Present& p : present_) {
      if (!p.module || p.refused || !Named(p.id)) continue;
      out.push_back(p);
      libusb_ref_device(p.dev);
    }
    return out;
  }

  void HandleEvents() {
    while (!stop_.load()) {
      const int rc = libusb_handle_events(ctx_);
      // An error that repeats at once must not spin a core.
      if (rc != 0 && rc != LIBUSB_ERROR_INTERRUPTED && !stop_.load())
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  }

  static int LIBUSB_CALL Hotplug(libusb_context*, libusb_device* dev, libusb_hotplug_event event,
                                 void* self) {
    auto* driver = static_cast<LibusbDriver*>(self);
    if (event == LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED)
      driver->Arrived(dev);
    else
      driver->Left(dev);
    return 0;
  }

  void Arrived(libusb_device* dev) {
    libusb_device_descriptor desc{};
    if (libusb_get_device_descriptor(dev, &desc) != 0) return;
    Present p{dev, UsbId{desc.idVendor, desc.idProduct}};
    p.module = ModulePipes(dev, p.in, p.out);
    {
      std::lock_guard lock(present_mu_);
      present_.push_back(p);
      libusb_ref_device(dev);
      // Under the lock: once SetArrivalHook({}) has returned, nobody is called any more.
      if (p.module && Named(p.id) && arrival_hook_) arrival_hook_();
    }
    if (p.module && !Named(p.id)) Tell(UsbNotice::Kind::kUnnamedModule, p.id, NodeOf(dev));
  }

  void Refused(libusb_device* dev) {
    std::lock_guard lock(present_mu_);
    for (Present& p : present_)
      if (p.dev == dev) p.refused = true;
  }

  void Left(libusb_device* dev) {
    std::lock_guard lock(present_mu_);
    const auto it = std::find_if(present_.begin(), present_.end(),
                                 [&](const Present& p) { return p.dev == dev; });
    if (it == present_.end()) return;
    libusb_unref_device(it->dev);
    present_.erase(it);
  }

  // Each kind of notice once per id for the life of the program.
  void Tell(UsbNotice::Kind kind, UsbId id, std::string node) {
    {
      std::lock_guard lock(told_mu_);
      const auto told = std::make_pair(kind, id);
      if (std::find(told_.begin(), told_.end(), told) != told_.end()) return;
      told_.push_back(told);
    }
    if (notice_) notice_(UsbNotice{kind, id, std::move(node)});
  }

  const std::vector<UsbId> ids_;
  const std::unique_ptr<UsbDriver> socket_;
  const UsbNoticeSink notice_;

  libusb_context* ctx_ = nullptr;
  libusb_hotplug_callback_handle hotplug_{};
  std::atomic<bool> stop_{false};
  std::thread events_;

  std::mutex present_mu_;
  std::vector<Present> present_;
  std::function<void()> arrival_hook_;  // guarded by present_mu_
  std::mutex told_mu_;
  std::vector<std::pair<UsbNotice::Kind, UsbId>> told_;

  mutable std::mutex mu_;
  std::shared_ptr<UsbHandle> usb_;
};

}  // namespace

std::unique_ptr<UsbDriver> MakeUsbDriver(std::vector<UsbId> ids, std::string socket_name,
                                         UsbNoticeSink notice) {
  return std::make_unique<LibusbDriver>(std::move(ids), std::move(socket_name), std::move(notice));
}

}  // namespace ostrel
