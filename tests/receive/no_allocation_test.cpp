// The tick allocates nothing in steady running: device chunks, status messages, polls and
// a command sequence, once the first ticks have warmed the fixed buffers.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "link/command_queue.h"
#include "receiver/ubx.h"
#include "rig.h"
#include "samples.h"

namespace {
std::atomic<long> g_allocations{0};
}

void* operator new(std::size_t n) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(n == 0 ? 1 : n)) return p;
  throw std::bad_alloc();
}
// The pair is malloc/free on purpose; GCC at -O2 sees gtest's `new` inlined next to it.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
#pragma GCC diagnostic pop

namespace ostrel::testing {
namespace {

class CountingPort final : public DataPortWriter {
 public:
  int32_t Write(const std::uint8_t*, int32_t count) override {
    bytes += count;
    return count;
  }
  long bytes = 0;
};

TEST(ReceiveCycleAllocation, SteadyTicksAllocateNothing) {
  FakeClock clock{1000};
  FakeDriver driver;
  driver.record = false;
  CommandQueue queue;
  UsbLink link(driver, clock, queue);
  driver.arrive = [&](const std::string& bytes) { Deliver(link, bytes); };
  driver.reply = Echo;
  TAntaris gps;
  CountingPort port;
  FakeView view(&link.State());
  view.process_gps = false;
  ReceiveCycle cycle(link, queue, gps, port, view);
  ASSERT_TRUE(link.OpenDevice());

  const std::string status = [] {
    std::vector<std::uint8_t> payload(52, 0);
    payload[10] = 3;
    payload[47] = 7;
    const auto f = ubx::MakeFrame(ubx::kClassNav, ubx::kIdNavSol, payload);
    return std::string(f.begin(), f.end());
  }();
  const std::string data = status + kGGA + kGSA + kGSV1;
  const std::string rest = kRMC.substr(11);
  auto round = [&] {
    Deliver(link, data);
    cycle.Tick();
    Deliver(link, "$GPGGA,0307");  // unfinished: a poll
    cycle.Tick();
    Deliver(link, rest);
    cycle.Tick();
    BeginSequence(queue, 64);
    EndSequence(queue, 64);
    cycle.Tick();
    cycle.Tick();
  };
  round();
  round();
  const long before = g_allocations.load();
  for (int i = 0; i < 20; ++i) round();
  EXPECT_EQ(g_allocations.load() - before, 0);
  EXPECT_EQ(view.connection_label, "Connected, 3D Fix, , 7 SVs");
  EXPECT_EQ(view.message_status, "Sending command..., 1 completed! (Failed: 0)");
  EXPECT_GT(port.bytes, 0);
}

}  // namespace
}  // namespace ostrel::testing
