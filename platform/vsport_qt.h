#pragma once
// TVSPort: the GPS Data port as a pseudo-terminal. The slave side is what applications
// open, through the link "COM3" in the port directory; the program keeps the master.
//
//   receive cycle --Write--> master ==pty==> /dev/pts/N <-- dir/COM3 <-- application
//   VSPortRxChar <--OnRxChar/Read-- input queue <--notifier-- master <== application writes
//
// Written data goes out only while an application has the slave open: a master accepts
// some 16 KB nobody reads and a late client would get all of it. Presence is POLLHUP on
// the master (once the slave has been opened and closed, which CreatePort does itself).
// While nobody is attached POLLHUP keeps the master readable, so instead of the master
// the slave node is watched with inotify, and the master goes back under its notifier
// when a client opens. While a client holds the port, echo and canonical mode are turned
// off again before each write should it turn them on. When the last client leaves, the
// port is reset as a real serial port is on its last close (its settings would stay for
// the next client): exclusive mode off, output flow on, raw mode, queues flushed.
#include <QObject>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/virtual_port.h"

class QSocketNotifier;

namespace ostrel {

class TVSPort final : public QObject, public VirtualPort {
  Q_OBJECT

 public:
  // Bytes an application may write ahead of Read; beyond that it waits in the kernel.
  static constexpr int32_t kInputQueueSize = 65536;

  // `port_dir`: where the links go; relative to the current directory if not absolute.
  explicit TVSPort(const std::string& port_dir = ".", QObject* parent = nullptr);
  ~TVSPort() override;
  TVSPort(const TVSPort&) = delete;
  TVSPort& operator=(const TVSPort&) = delete;

  bool CreatePort(const std::string& name) override;
  bool Open(const std::string& name) override;
  int32_t Write(const std::uint8_t* bytes, int32_t count) override;
  int32_t Read(std::uint8_t* bytes, int32_t count) override;
  std::string Failure() const override { return failure_; }

  // Full path of the link, what an application opens ("/home/me/COM3"); empty until a
  // port is held.
  std::string LinkPath() const { return link_path_; }
  // The slave device the link points at ("/dev/pts/4"); empty until a port is held.
  std::string SlavePath() const { return slave_path_; }
  bool ClientAttached() const { return attached_; }
  // Whether the slave went to the group dialout with mode 0660, as a real serial port; if
  // not (a user outside dialout), it is 0600 and only this user's programs may open it.
  bool SharedWithDialout() const { return shared_with_dialout_; }
  // How many times the last client has left and the port was made clean again.
  int Departures() const { return departures_; }
  // How many opens of the port are held now, as the slave's open and close events tell.
  int Holders() const { return holders_; }

 signals:
  // Bytes arrived from the application; `count` is the number now waiting.
  void OnRxChar(int count);
  // A second program holds the port open beside the first: each of them gets only part
  // of what is written. Said once until the port is free again.
  void SecondReader();

 private:
  bool Take(const std::string& name);
  // Notes why taking the port failed; returns false for the caller to return.
  bool Fail(std::string reason);
  // The same for a file of the port folder that could not be made or opened.
  bool FailOn(const std::string& path, int err);
  bool LockPort(const std::string& name, bool& lock_existed);
  bool MakePseudoTerminal();
  bool PointLink();
  bool RecordLinkTarget();
  // Whether the lock file names the terminal `link` points to as its last owner's.
  bool LockNamesLinkTarget(const std::string& link) const;
  void StartWatching();
  void StopWatching();
  void Release();

  void MasterReadable();
  void InotifyReadable();
  void CheckClient(bool client_closed);
  void ClientLeft();
  bool DrainMaster();
  void ApplyRawMode();
  void KeepRaw();
  bool Renew();
  void DrainInotify();

  std::string dir_;
  std::string name_;
  std::string link_path_;
  std::string lock_path_;
  std::string slave_path_;
  std::string failure_;
  int master_ = -1;
  int lock_fd_ = -1;
  int inotify_ = -1;
  QSocketNotifier* master_notifier_ = nullptr;
  QSocketNotifier* inotify_notifier_ = nullptr;
  bool attached_ = false;
  bool shared_with_dialout_ = false;
  int departures_ = 0;
  int holders_ = 0;
  bool second_said_ = false;

  std::vector<std::uint8_t> in_;  // ring of kInputQueueSize bytes, allocated once
  std::size_t in_head_ = 0;
  std::size_t in_len_ = 0;
};

}  // namespace ostrel
