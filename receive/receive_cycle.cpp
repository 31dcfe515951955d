#include "receive/receive_cycle.h"

#include <exception>

#include "receive/forwarding.h"
#include "receive/logs.h"
#include "receiver/antaris.h"

namespace ostrel {
namespace {

// Step 7: the read thread may go on, whichever way the tick ends.
class ReleaseAtEnd {
 public:
  explicit ReleaseAtEnd(UsbLink& link) : link_(link) {}
  ~ReleaseAtEnd() { link_.Release(); }
  ReleaseAtEnd(const ReleaseAtEnd&) = delete;
  ReleaseAtEnd& operator=(const ReleaseAtEnd&) = delete;

 private:
  UsbLink& link_;
};

}  // namespace

ReceiveCycle::ReceiveCycle(UsbLink& link, CommandQueue& queue, TAntaris& receiver,
                           DataPortWriter& port, ReceiveView& view, PositionsLog* log)
    : link_(link),
      queue_(queue),
      receiver_(receiver),
      port_(port),
      view_(view),
      log_(log),
      sender_(link, queue, view) {
  PositionsLogMode = log != nullptr ? log->Mode() : PositionsLog::kOff;
}

template <typename F>
void ReceiveCycle::Trapped(F&& steps) {
  ReleaseAtEnd release(link_);
  try {
    steps();
  } catch (const std::exception&) {
    // Dropped, the project's own errors and any other alike: a bad sentence or a display
    // error ends only this tick.
  }
}

bool ReceiveCycle::TickMustTake() const {
  return demo_.Active() || !link_.State().DeviceOpen.load() || queue_.Pending() ||
         sender_.Owed() != nullptr || PositionsLogMode == PositionsLog::kReplay;
}

void ReceiveCycle::Tick() {
  Trapped([this] { Steps(); });
  // A flood during a command exchange would otherwise wake the window for every packet.
  link_.WantArrivals(!TickMustTake());
}

void ReceiveCycle::OnLineArrived() {
  if (TickMustTake()) {
    link_.WantArrivals(false);
    return;
  }
  Trapped([this] {
    reply_len_ = 0;
    reply_ = 0;
    const UsbLink::Taken taken =
        link_.TakeChunk(ChunkBuffer.data(), kMaxChunk, UsbLink::TakeWhen::kWholeSentences);
    len_ = taken.length;
    reply_len_ = taken.stray;
    ChunkBuffer[static_cast<std::size_t>(len_)] = 0;
    // Nothing whole yet (a tick took it first): the unfinished rest waits, unpolled.
    if (len_ > 0) DataSteps();
  });
}

void ReceiveCycle::Steps() {
  len_ = 0;
  reply_len_ = 0;
  reply_ = 0;
  ChunkBuffer[0] = 0;

  if (demo_.Active()) {
    if (!demo_.NextGroup(ChunkBuffer.data(), len_)) {
      std::string reason;
      if (demo_.TakeOpenFailure(reason)) view_.DemoFileUnavailable(demo_.DemoFileName, reason);
      return;
    }
  } else if (link_.State().DeviceOpen.load()) {
    FromDevice();
  } else if (link_.OpenDevice()) {
    view_.GPSButtonSetClick();
  }
  DataSteps();
}

void ReceiveCycle::DataSteps() {
  if (PositionsLogMode != PositionsLog::kOff && log_ != nullptr) {
    if (PositionsLogMode == PositionsLog::kReplay) {
      // The recorded chunk takes the place of everything live, a reply included.
      reply_len_ = 0;
      log_->LogPositions(ChunkBuffer.data(), len_);
      if (len_ < 0 || len_ > kMaxChunk) len_ = 0;
    } else {
      int32_t stream_len = len_ - reply_len_;
      log_->LogPositions(ChunkBuffer.data() + reply_len_, stream_len);
      std::string notice;
      if (log_->TakeNotice(notice)) view_.ShowNotice(notice);
    }
  }
  ChunkBuffer[static_cast<std::size_t>(len_)] = 0;
  // The firmware's reply heads the chunk; only what the receiver sent goes on as stream.
  const std::uint8_t* stream = ChunkBuffer.data() + reply_len_;
  const int32_t stream_len = len_ - reply_len_;

  ForwardChunk(port_, stream, stream_len, PassBinaryData, forward_.data());

  if (receiver_.ParseUBX(stream, stream_len) && receiver_.StatusUpdated) {
    receiver_.StatusUpdated = false;
    view_.SetConnectionLabel(FormatStatusText(status_, receiver_));
  }

  if (view_.ProcessGPS()) {
    if (receiver_.ParseNMEA(reinterpret_cast<const char*>(stream), stream_len))
      view_.UpdateFixDisplay();
    if (len_ > 0) view_.ShowDataStream(ChunkBuffer.data(), len_);
  }
}

void ReceiveCycle::FromDevice() {
  LinkState& state = link_.State();
  const int32_t pos = queue_.SendPos();
  const bool block_pending = queue_.Pending();
  if (block_pending) sender_.SendStep(pos);

  if (link_.GetClock().Now() - state.LastRxTime.load() > kSilenceLimit) {
    link_.CloseDevice();
    view_.GPSButtonSetClick();
  } else {
    // Whole sentences, and the block's reply lifted out of the stream around it. An
    // unfinished sentence waits; it is polled for unless the module has a block to answer.
    const UsbLink::ReplyWanted wanted = sender_.Wanted(pos);
    const UsbLink::Taken taken =
        link_.TakeChunk(ChunkBuffer.data(), kMaxChunk, UsbLink::TakeWhen::kWholeSentences,
                        block_pending ? &wanted : nullptr, sender_.Owed());
    sender_.AfterTake(taken.late > 0);
    len_ = taken.length;
    reply_len_ = taken.reply + taken.late + taken.stray;
    reply_ = taken.reply;
    if (taken.unfinished && !block_pending) link_.WriteDevice(&kPollByte, 1);
  }
  ChunkBuffer[static_cast<std::size_t>(len_)] = 0;

  if (block_pending) sender_.CheckStep(pos, ChunkBuffer.data(), reply_);
}

}  // namespace ostrel
