// How fast bytes move from the module's socket to the receive cycle's chunk.
//   BM_BulkRead:  one 64-byte packet through the socket driver.
//   BM_HandOver:  the read thread and a consumer that takes as often as it can, with the
//                 module never more than 1983 bytes ahead (no byte is ever discarded).
//                 The argument divides the read thread's 100 ms pauses (1: the real ones).
#include <benchmark/benchmark.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <string>
#include <thread>

#include "link/command_queue.h"
#include "link/read_thread.h"
#include "link/usb_link.h"
#include "platform/abstract_socket.h"

namespace ostrel {
namespace {

class Module {
 public:
  Module() : name_("ostrel-bench-" + std::to_string(::getpid())) {
    listen_ = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    const AbstractAddress addr = MakeAbstractAddress(name_);
    (void)::bind(listen_, addr.Get(), addr.length);
    ::listen(listen_, 1);
  }
  ~Module() {
    if (conn_ >= 0) ::close(conn_);
    ::close(listen_);
  }
  const std::string& Name() const { return name_; }
  void Accept() { conn_ = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC); }
  void Send(const std::uint8_t* p, std::size_t n) { ::send(conn_, p, n, MSG_NOSIGNAL); }

 private:
  std::string name_;
  int listen_ = -1;
  int conn_ = -1;
};

class ScaledClock final : public Clock {
 public:
  explicit ScaledClock(long divisor) : divisor_(divisor) {}
  Millis Now() const override { return SystemClock().Now(); }
  void Sleep(Millis ms) override {
    std::this_thread::sleep_for(std::chrono::microseconds(ms * 1000 / divisor_));
  }

 private:
  long divisor_;
};

void BM_BulkRead(benchmark::State& state) {
  Module module;
  auto driver = MakeSocketUsbDriver(module.Name());
  driver->Open();
  module.Accept();
  std::uint8_t packet[64] = {};
  std::uint8_t buf[64];
  for (auto _ : state) {
    module.Send(packet, sizeof packet);
    benchmark::DoNotOptimize(driver->BulkRead(buf, 64));
  }
  state.SetBytesProcessed(state.iterations() * 64);
}
BENCHMARK(BM_BulkRead);

void BM_HandOver(benchmark::State& state) {
  constexpr long kWindow = kRxBufferSize - kStdBlockSize - 1;
  constexpr long kPerIteration = 64L * 1024;
  Module module;
  auto driver = MakeSocketUsbDriver(module.Name());
  ScaledClock clock(state.range(0));
  CommandQueue queue;
  UsbLink link(*driver, clock, queue);
  link.OpenDevice();
  module.Accept();
  TReadThread reader(link);

  std::atomic<long> taken{0};
  std::uint8_t chunk[kRxBufferSize];
  for (auto _ : state) {
    const long base = taken.load();
    std::thread sender([&] {
      std::uint8_t packet[64] = {};
      for (long sent = 0; sent < kPerIteration; sent += 64) {
        while (base + sent + 64 - taken.load() > kWindow) std::this_thread::yield();
        module.Send(packet, sizeof packet);
      }
    });
    while (taken.load() - base < kPerIteration) {
      const int32_t n = link.TakeChunk(chunk, kRxBufferSize, UsbLink::TakeWhen::kAnyBytes).length;
      if (n == 0) {
        std::this_thread::yield();
        continue;
      }
      taken.fetch_add(n);
      link.Release();
    }
    sender.join();
  }
  state.SetBytesProcessed(state.iterations() * kPerIteration);
  link.StopAndAbort();
  reader.QuitAndJoin(std::chrono::seconds(5));
}
BENCHMARK(BM_HandOver)->Arg(1)->Arg(20)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace ostrel

BENCHMARK_MAIN();
