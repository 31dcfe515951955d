#pragma once
// The emulated device at the usbfs level: answers every ioctl a libusb client makes on
// the test bed's /dev node and bridges its bulk transfers to a kastrel-emulator.
//
// Threads: the ioctl handler runs on umockdev's worker thread; plug, unplug and the
// emulator socket are the main thread's. One mutex guards all state below. No ioctl is
// ever held open (the preload serves one ioctl per descriptor at a time): a SUBMITURB
// is answered at once and the URB waits here until a REAPURBNDELAY takes it.
#include <umockdev.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "tools/usb_bed/descriptors.h"
#include "tools/usb_bed/flow_pty.h"

namespace kastrel::usb_bed {

using EventSink = std::function<void(const std::string& line)>;

struct BedStats {
  long submitted = 0;
  long reaped = 0;
  long eagain = 0;   // REAPURBNDELAY answered "nothing done"
  long clients = 0;  // open descriptors on the node that the bed keeps state for
};

class UsbfsDevice {
 public:
  UsbfsDevice(DeviceIdentity id, std::string emulator_socket, unsigned node_mode, EventSink events);
  ~UsbfsDevice();
  UsbfsDevice(const UsbfsDevice&) = delete;
  UsbfsDevice& operator=(const UsbfsDevice&) = delete;

  // Creates the /dev node's directory and attaches the ioctl handler; once, before Plug.
  bool Attach(UMockdevTestbed* testbed, std::string& error);
  // Main thread. Plug makes the node (a link to a fresh pty) and then adds the device,
  // whose "add" uevent goes out at once; unplug ends the URBs in flight and removes it.
  bool Plug(std::string& error);
  void Unplug();
  bool Plugged() const;

  // The emulator connection, polled by the main thread; -1 when there is none.
  int EmulatorFd() const;
  bool WantsPacket() const;    // a packet may be read (none is waiting for an IN URB)
  bool HasOutPending() const;  // an OUT transfer waits for the socket to take it
  bool TryConnectEmulator();
  // Reads one packet. False when the emulator ended the connection (it is then dropped).
  bool ReadEmulator();
  void FlushOut();
  void DropEmulator();

  // Readable when the main thread must look at the state again.
  int wake_fd() const { return wake_fd_; }
  void ClearWake();
  BedStats Stats() const;

 private:
  struct Urb {
    UMockdevIoctlData* urb = nullptr;     // the client's struct usbdevfs_urb
    UMockdevIoctlData* buffer = nullptr;  // its transfer buffer
  };
  struct Client {
    unsigned generation = 0;  // the plug it opened; another plug's client is gone
    bool claimed = false;
    std::deque<Urb> in_pending;
    std::deque<Urb> out_pending;
    std::deque<Urb> done;
  };

  static gboolean OnIoctl(UMockdevIoctlBase* base, UMockdevIoctlClient* client, gpointer self);
  static void OnConnected(UMockdevIoctlBase* base, UMockdevIoctlClient* client, gpointer self);
  static void OnVanished(UMockdevIoctlBase* base, UMockdevIoctlClient* client, gpointer self);
  void HandleIoctl(UMockdevIoctlClient* client);
  // Each answers one request with (result, errno); called with the mutex held.
  std::pair<long, int> Submit(Client& c, UMockdevIoctlData* arg);
  std::pair<long, int> Reap(Client& c, UMockdevIoctlData* arg);
  std::pair<long, int> Discard(Client& c, UMockdevIoctlData* arg);
  std::pair<long, int> Claim(UMockdevIoctlClient* id, Client& c, unsigned interface);
  std::pair<long, int> Control(UMockdevIoctlData* arg);
  // The data stage of a standard request to endpoint 0, or nothing for a stall.
  std::optional<std::vector<std::uint8_t>> ControlReply(const std::uint8_t* setup,
                                                        std::size_t room) const;
  bool Gone(const Client& c) const { return !plugged_ || c.generation != generation_; }

  void Finish(Client& c, Urb urb, int status, int actual_length);
  void Deliver();                // emulator packets into pending IN URBs
  bool SendOut(const Urb& urb);  // false: the socket is full, try later
  void UpdateFlow();             // XON while a URB of the present device can be reaped
  void Wake();
  static void Release(Urb& urb);
  Client& Track(UMockdevIoctlClient* client);
  void Forget(std::map<UMockdevIoctlClient*, Client>::iterator it);
  void ConnectLocked();

  const DeviceIdentity id_;
  const std::string emulator_socket_;
  const unsigned node_mode_;
  const EventSink events_;
  UMockdevTestbed* testbed_ = nullptr;
  UMockdevIoctlBase* handler_ = nullptr;
  std::string node_path_;  // the node's path inside the test bed's root
  int wake_fd_ = -1;

  mutable std::mutex mutex_;
  bool plugged_ = false;
  unsigned generation_ = 0;
  FlowPty pty_;
  int emulator_ = -1;
  std::deque<std::vector<std::uint8_t>> inbox_;  // emulator packets not yet in a URB
  std::map<UMockdevIoctlClient*, Client> clients_;
  BedStats stats_;
};

}  // namespace kastrel::usb_bed
