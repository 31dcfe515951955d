#pragma once
// ShareHub: the receiver's stream served beside the GPS Data port, to extra
// pseudo-terminals and to TCP clients, as [Share] asks.
//
//   PanelEngine::Write --OnForwarded--> MessageSplitter --whole messages--> SentenceFilter
//     --> MessageBatch --one write each--> TVSPort (COM<n>) or the TCP client's socket
//                                 \--what a consumer did not take--> its ConsumerQueue
//
// Each consumer has a bounded queue: one that does not read loses whole messages, counted,
// and nobody else waits for it. What a consumer writes is collected per consumer and goes
// into the command queue as one sequence of its own, never mixed with another writer's,
// and only when the queue is idle; read-only, it is dropped. Either way it is a line of
// commands.log. Everything runs on the engine's thread.
#include <QObject>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "dataport/share_stream.h"
#include "engine/share_settings.h"

class QTcpServer;
class QTimer;

namespace ostrel {

class CommandQueue;
class Clock;

// Three seconds and more of the fastest stream: a client that pauses longer loses whole
// sentences rather than holding the panel's memory.
inline constexpr std::size_t kConsumerQueueSize = 32 * 1024;
static_assert(kConsumerQueueSize >= kMaxMessage, "a message cut by the wire must fit");
inline constexpr const char* kCommandsLogName = "commands.log";

struct ConsumerInfo {
  std::string name;  // "COM4", or the TCP client's "address:port"
  std::uint64_t sent_bytes = 0;
  std::uint64_t lost_messages = 0;
  std::uint64_t commands = 0;  // sequences it wrote
};

// Not a StreamObserver: it needs the forwarded bytes only, and an observer would have the
// engine parse every sentence even with the displays off.
class ShareHub final : public QObject {
 public:
  struct Setup {
    ShareSettings settings;
    std::string port_dir;  // where the GPS Data port's link is
    int first_number = 2;  // the first COM number to try for the extra ports
    std::string log_dir;   // commands.log goes here
    CommandQueue& queue;
    const std::atomic<int32_t>& block_size;
    const Clock& clock;
    // Unacknowledged blocks so far: a sequence that added to them was abandoned.
    std::function<int32_t()> failed_blocks;
  };

  explicit ShareHub(Setup setup);
  ~ShareHub() override;
  ShareHub(const ShareHub&) = delete;
  ShareHub& operator=(const ShareHub&) = delete;

  // Makes the extra ports and starts listening. What could not be had is returned, one
  // sentence each; the rest serves.
  std::vector<std::string> Start();

  const ShareSettings& Settings() const { return setup_.settings; }
  std::vector<ConsumerInfo> Consumers() const;
  // The port the server listens on, 0 when there is none.
  int ListeningPort() const;
  // Names of the extra ports ("COM4"), for the "two readers" note.
  std::vector<std::string> ExtraPortNames() const;
  std::string CommandsLogPath() const;
  // Called when a consumer comes or goes.
  void SetChangedHandler(std::function<void()> handler) { changed_ = std::move(handler); }
  // Bytes written by read-only consumers, dropped.
  std::uint64_t DroppedCommandBytes() const { return dropped_bytes_; }

  // Bytes of the stream as the GPS Data port got them.
  void OnForwarded(const std::uint8_t* bytes, int32_t count);

  class Consumer;

 private:
  friend class Consumer;
  void MakeExtraPorts(std::vector<std::string>& problems);
  void Listen(std::vector<std::string>& problems);
  void Accept();
  void Remove(Consumer* consumer);
  // A writer's collected bytes are due: queued, held, dropped or refused.
  void CommandDue(Consumer& consumer);
  void CheckOutstanding();
  void LogSequence(const std::string& who, const std::vector<std::uint8_t>& bytes,
                   const std::string& outcome);
  void Changed() const;

  Setup setup_;
  MessageBatcher batcher_;
  std::vector<std::unique_ptr<Consumer>> consumers_;
  QTcpServer* server_ = nullptr;
  QTimer* outcome_timer_ = nullptr;
  std::function<void()> changed_;
  std::uint64_t dropped_bytes_ = 0;
  std::uint64_t refused_clients_ = 0;

  // The sequence in the command queue that came from a consumer, until its outcome.
  struct Outstanding {
    std::string who;
    std::vector<std::uint8_t> bytes;
    int32_t failed_before = 0;
    std::int64_t since = 0;
  };
  std::unique_ptr<Outstanding> outstanding_;
};

// One line of commands.log, without its line end:
// "2026-12-07T20:51:03.120Z 127.0.0.1:53422 B5 62 06 04 ... | CFG-RST ... | acknowledged"
std::string CommandsLogLine(std::int64_t utc_ms, const std::string& who, const std::uint8_t* bytes,
                            std::size_t count, const std::string& outcome);

}  // namespace ostrel
