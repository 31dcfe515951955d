#include "engine/share_hub.h"

#include <sys/socket.h>

#include <QHostAddress>
#include <QSocketNotifier>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <ctime>

#include "dataport/create_virtual_port.h"
#include "dataport/external_commands.h"
#include "link/command_queue.h"
#include "platform/clock.h"
#include "platform/rotating_log.h"
#include "platform/vsport_qt.h"
#include "receiver/command_decode.h"

namespace ostrel {

namespace {

// As the GPS Data port collects an application's command.
constexpr int kCollectInterval = 200;
// How soon a writer's sequence is tried again while another one is in the queue.
constexpr int kHoldInterval = 100;
constexpr int kOutcomeInterval = 100;
// What a TCP client may have on its way in the kernel before its queue holds the rest:
// kept small, so that a stalled client starts losing whole messages soon instead of
// filling megabytes of socket buffers.
constexpr int kSocketSendBuffer = 16 * 1024;
// The numbers tried for the extra ports after the GPS Data port's.
constexpr int kPortNumbersTried = 64;
// More bytes than this of one sequence are shown in the log as their start only.
constexpr std::size_t kLoggedBytes = 256;

std::int64_t UtcMillis() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

}  // namespace

std::string CommandsLogLine(std::int64_t utc_ms, const std::string& who, const std::uint8_t* bytes,
                            std::size_t count, const std::string& outcome) {
  const std::time_t seconds = static_cast<std::time_t>(utc_ms / 1000);
  std::tm tm{};
  gmtime_r(&seconds, &tm);
  char stamp[32];
  const std::size_t used = std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S", &tm);
  std::snprintf(stamp + used, sizeof stamp - used, ".%03dZ", static_cast<int>(utc_ms % 1000));
  std::string hex;
  const std::size_t shown = std::min(count, kLoggedBytes);
  constexpr char kDigits[] = "0123456789ABCDEF";
  for (std::size_t i = 0; i < shown; ++i) {
    if (i > 0) hex += ' ';
    hex += kDigits[bytes[i] >> 4];
    hex += kDigits[bytes[i] & 0x0F];
  }
  if (shown < count) hex += " ... (" + std::to_string(count) + " bytes)";
  return std::string(stamp) + " " + who + " " + hex + " | " + DecodeCommand(bytes, count) + " | " +
         outcome;
}

// One consumer: its queue, and what it writes, collected into one sequence at a time.
class ShareHub::Consumer {
 public:
  Consumer(ShareHub& hub, std::string name)
      : hub_(hub),
        name_(std::move(name)),
        queue_(kConsumerQueueSize),
        send_([this](const std::uint8_t* bytes, std::size_t count) { return Send(bytes, count); }),
        timer_(new QTimer) {
    timer_->setSingleShot(true);
    QObject::connect(timer_.get(), &QTimer::timeout, [this] { hub_.CommandDue(*this); });
  }
  virtual ~Consumer() = default;
  Consumer(const Consumer&) = delete;
  Consumer& operator=(const Consumer&) = delete;

  virtual bool Attached() const = 0;

  // This receive batch, in one write while the consumer keeps up. Nobody reading: nothing
  // is kept for a later client, as on the GPS Data port.
  void Deliver(const MessageBatch& batch) {
    if (!Attached()) {
      queue_.Clear();
      return;
    }
    ostrel::Deliver(queue_, batch, send_);
  }

  const std::string& Name() const { return name_; }
  const ConsumerQueue& Queue() const { return queue_; }
  std::vector<std::uint8_t>& Collected() { return collected_; }
  bool& TooLong() { return too_long_; }
  QTimer& Timer() { return *timer_; }
  std::uint64_t commands = 0;

 protected:
  // What the transport takes of `count` bytes now, without waiting.
  virtual std::size_t Send(const std::uint8_t* bytes, std::size_t count) = 0;
  // Sends what waits; true when nothing waits any more.
  bool Drain() { return ostrel::Drain(queue_, send_); }

  // Bytes the consumer wrote. The sequence goes 200 ms after its first byte.
  void Collect(const std::uint8_t* bytes, std::size_t count) {
    const auto limit = static_cast<std::size_t>(MaxExternalCommand(hub_.setup_.block_size.load()));
    if (too_long_ || collected_.size() + count > limit) {
      // A cut command could do anything to the receiver: none of it goes.
      if (!too_long_) collected_.resize(std::min(collected_.size(), kLoggedBytes));
      too_long_ = true;
    } else {
      collected_.insert(collected_.end(), bytes, bytes + count);
    }
    if (!timer_->isActive()) timer_->start(kCollectInterval);
  }

  ShareHub& hub_;

 private:
  std::string name_;
  ConsumerQueue queue_;
  SendBytes send_;
  std::vector<std::uint8_t> collected_;
  bool too_long_ = false;
  std::unique_ptr<QTimer> timer_;
};

namespace {

class PtyConsumer final : public ShareHub::Consumer {
 public:
  PtyConsumer(ShareHub& hub, std::string name, std::unique_ptr<TVSPort> port)
      : Consumer(hub, std::move(name)), port_(std::move(port)) {
    QObject::connect(port_.get(), &TVSPort::OnRxChar, [this](int count) { Read(count); });
  }
  bool Attached() const override { return port_->ClientAttached(); }
  const TVSPort& Port() const { return *port_; }

 protected:
  std::size_t Send(const std::uint8_t* bytes, std::size_t count) override {
    const auto n = static_cast<int32_t>(std::min<std::size_t>(count, INT32_MAX));
    return static_cast<std::size_t>(std::max(port_->Write(bytes, n), 0));
  }

 private:
  void Read(int count) {
    std::uint8_t buffer[4096];
    while (count > 0) {
      const int32_t got = port_->Read(buffer, std::min<int>(count, sizeof buffer));
      if (got <= 0) break;
      Collect(buffer, static_cast<std::size_t>(got));
      count -= got;
    }
  }
  std::unique_ptr<TVSPort> port_;
};

// Written straight to the socket, past QTcpSocket's own buffer: that buffer would cost
// two wake-ups of the event loop and a turn of it for every batch of every client. Qt
// still reads the client and sees it go.
class TcpConsumer final : public ShareHub::Consumer {
 public:
  TcpConsumer(ShareHub& hub, QTcpSocket* socket)
      : Consumer(hub, socket->peerAddress().toString().toStdString() + ":" +
                          std::to_string(socket->peerPort())),
        socket_(socket) {
    socket_->setSocketOption(QAbstractSocket::SendBufferSizeSocketOption, kSocketSendBuffer);
    socket_->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    // Only while the kernel holds what was sent and more waits.
    if (socket_->socketDescriptor() >= 0) {
      writable_ =
          std::make_unique<QSocketNotifier>(socket_->socketDescriptor(), QSocketNotifier::Write);
      writable_->setEnabled(false);
      QObject::connect(writable_.get(), &QSocketNotifier::activated, [this] {
        if (Drain()) writable_->setEnabled(false);
      });
    }
    QObject::connect(socket_, &QTcpSocket::readyRead, [this] {
      const QByteArray bytes = socket_->readAll();
      Collect(reinterpret_cast<const std::uint8_t*>(bytes.constData()),
              static_cast<std::size_t>(bytes.size()));
    });
    // Qt has closed the descriptor, whose number the next client may get: the notifier
    // goes with it.
    QObject::connect(socket_, &QTcpSocket::disconnected, [this] { writable_.reset(); });
  }
  ~TcpConsumer() override {
    writable_.reset();
    socket_->disconnect();
    socket_->abort();
    socket_->deleteLater();
  }
  bool Attached() const override {
    return writable_ && !failed_ && socket_->state() == QAbstractSocket::ConnectedState;
  }
  QTcpSocket* Socket() const { return socket_; }

 protected:
  std::size_t Send(const std::uint8_t* bytes, std::size_t count) override {
    if (!Attached()) return 0;
    const ssize_t n = ::send(static_cast<int>(socket_->socketDescriptor()), bytes, count,
                             MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
      // Reset by the client: Qt's read of the socket will see it go; until then it is fed
      // no more.
      failed_ = true;
      writable_->setEnabled(false);
      return 0;
    }
    const std::size_t taken = n > 0 ? static_cast<std::size_t>(n) : 0;
    if (taken < count) writable_->setEnabled(true);
    return taken;
  }

 private:
  QTcpSocket* socket_;
  std::unique_ptr<QSocketNotifier> writable_;
  bool failed_ = false;
};

}  // namespace

ShareHub::ShareHub(Setup setup) : setup_(std::move(setup)), batcher_(setup_.settings.sentences) {
  setObjectName(QStringLiteral("ShareHub"));
  outcome_timer_ = new QTimer(this);
  outcome_timer_->setInterval(kOutcomeInterval);
  connect(outcome_timer_, &QTimer::timeout, this, [this] { CheckOutstanding(); });
}

ShareHub::~ShareHub() {
  if (outstanding_)
    LogSequence(outstanding_->who, outstanding_->bytes, "abandoned: the panel ended");
  consumers_.clear();
}

std::vector<std::string> ShareHub::Start() {
  std::vector<std::string> problems;
  MakeExtraPorts(problems);
  Listen(problems);
  return problems;
}

void ShareHub::MakeExtraPorts(std::vector<std::string>& problems) {
  int made = 0;
  int number = setup_.first_number;
  for (int tried = 0;
       made < setup_.settings.extra_ports && tried < kPortNumbersTried && number <= kMaxPortNumber;
       ++tried, ++number) {
    auto port = std::make_unique<TVSPort>(setup_.port_dir);
    const std::string name = "COM" + std::to_string(number);
    if (!port->CreatePort(name) && !port->Open(name)) continue;
    consumers_.push_back(std::make_unique<PtyConsumer>(*this, name, std::move(port)));
    ++made;
  }
  if (made < setup_.settings.extra_ports) {
    problems.push_back("[Share] ExtraPorts=" + std::to_string(setup_.settings.extra_ports) +
                       ": only " + std::to_string(made) + " extra ports could be made in " +
                       setup_.port_dir + ".");
  }
}

void ShareHub::Listen(std::vector<std::string>& problems) {
  const int port = setup_.settings.tcp_port;
  if (port == 0) return;
  server_ = new QTcpServer(this);
  connect(server_, &QTcpServer::newConnection, this, [this] { Accept(); });
  const QHostAddress address(QString::fromStdString(setup_.settings.tcp_address));
  if (server_->listen(address, static_cast<quint16>(port))) return;
  const std::string where =
      "[Share] TcpPort=" + std::to_string(port) + " on " + setup_.settings.tcp_address;
  switch (server_->serverError()) {
    case QAbstractSocket::AddressInUseError:
      problems.push_back(where +
                         ": the port is in use by another program; the TCP server is "
                         "off. Choose another TcpPort.");
      break;
    case QAbstractSocket::SocketAddressNotAvailableError:
      problems.push_back("[Share] TcpAddress=" + setup_.settings.tcp_address +
                         " is not an address of this computer; the TCP server is off.");
      break;
    default:
      problems.push_back(where + ": " + server_->errorString().toStdString() +
                         "; the TCP server is off.");
      break;
  }
  delete server_;
  server_ = nullptr;
}

void ShareHub::Accept() {
  while (server_ != nullptr && server_->hasPendingConnections()) {
    QTcpSocket* socket = server_->nextPendingConnection();
    const auto clients = std::count_if(consumers_.begin(), consumers_.end(), [](const auto& c) {
      return dynamic_cast<TcpConsumer*>(c.get()) != nullptr;
    });
    if (clients >= kMaxTcpClients) {
      ++refused_clients_;
      socket->abort();
      socket->deleteLater();
      continue;
    }
    auto consumer = std::make_unique<TcpConsumer>(*this, socket);
    Consumer* raw = consumer.get();
    connect(socket, &QTcpSocket::disconnected, this, [this, raw] {
      // Not from inside the socket's own signal: the consumer owns the socket.
      QMetaObject::invokeMethod(
          this, [this, raw] { Remove(raw); }, Qt::QueuedConnection);
    });
    consumers_.push_back(std::move(consumer));
    Changed();
  }
}

void ShareHub::Remove(Consumer* consumer) {
  const auto it = std::find_if(consumers_.begin(), consumers_.end(),
                               [consumer](const auto& c) { return c.get() == consumer; });
  if (it == consumers_.end()) return;
  // What it wrote before it went is still its own sequence.
  if (!consumer->Collected().empty()) {
    consumer->Timer().stop();
    CommandDue(*consumer);
    if (!consumer->Collected().empty())
      LogSequence(consumer->Name(), consumer->Collected(),
                  "abandoned: it left while another sequence was being sent");
  }
  consumers_.erase(it);
  Changed();
}

void ShareHub::OnForwarded(const std::uint8_t* bytes, int32_t count) {
  if (consumers_.empty() || count <= 0) return;
  const MessageBatch& batch = batcher_.Next(bytes, static_cast<std::size_t>(count));
  for (const auto& c : consumers_) c->Deliver(batch);
}

void ShareHub::CommandDue(Consumer& consumer) {
  std::vector<std::uint8_t>& bytes = consumer.Collected();
  if (bytes.empty()) return;
  if (!setup_.settings.writable) {
    dropped_bytes_ += bytes.size();
    LogSequence(consumer.Name(), bytes, "dropped: read-only ([Share] Writable=0)");
  } else if (consumer.TooLong()) {
    LogSequence(consumer.Name(), bytes, "refused: too long for the command queue");
  } else if (setup_.queue.Pending() || outstanding_) {
    // Another sequence is on its way: this one waits whole rather than mix with it.
    consumer.Timer().start(kHoldInterval);
    return;
  } else {
    const int32_t size = setup_.block_size.load();
    BeginSequence(setup_.queue, size);
    AppendBlocks(setup_.queue, bytes.data(), bytes.size(), false, size);
    EndSequence(setup_.queue, size);
    outstanding_ = std::make_unique<Outstanding>(
        Outstanding{consumer.Name(), bytes, setup_.failed_blocks ? setup_.failed_blocks() : 0,
                    setup_.clock.Now()});
    ++consumer.commands;
    outcome_timer_->start();
  }
  bytes.clear();
  consumer.TooLong() = false;
}

void ShareHub::CheckOutstanding() {
  if (!outstanding_) {
    outcome_timer_->stop();
    return;
  }
  if (setup_.queue.Pending()) return;
  const bool failed = setup_.failed_blocks && setup_.failed_blocks() > outstanding_->failed_before;
  LogSequence(outstanding_->who, outstanding_->bytes,
              failed ? "abandoned: a block was not acknowledged" : "acknowledged");
  outstanding_.reset();
  outcome_timer_->stop();
}

void ShareHub::LogSequence(const std::string& who, const std::vector<std::uint8_t>& bytes,
                           const std::string& outcome) {
  AppendRotating(CommandsLogPath(),
                 CommandsLogLine(UtcMillis(), who, bytes.data(), bytes.size(), outcome) + "\n");
}

std::string ShareHub::CommandsLogPath() const {
  return setup_.log_dir.empty() ? kCommandsLogName : setup_.log_dir + "/" + kCommandsLogName;
}

std::vector<ConsumerInfo> ShareHub::Consumers() const {
  std::vector<ConsumerInfo> list;
  for (const auto& c : consumers_) {
    list.push_back({c->Name(), c->Queue().SentBytes(), c->Queue().LostMessages(), c->commands});
  }
  return list;
}

int ShareHub::ListeningPort() const {
  return server_ != nullptr && server_->isListening() ? server_->serverPort() : 0;
}

std::vector<std::string> ShareHub::ExtraPortNames() const {
  std::vector<std::string> names;
  for (const auto& c : consumers_)
    if (dynamic_cast<const PtyConsumer*>(c.get()) != nullptr) names.push_back(c->Name());
  return names;
}

void ShareHub::Changed() const {
  if (changed_) changed_();
}

}  // namespace ostrel
