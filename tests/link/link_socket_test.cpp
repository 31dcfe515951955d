// The whole link on a real socket: the read thread, a module that goes away and comes
// back, and a long run of bytes handed over while a consumer takes them like the tick.
#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <thread>

#include "link/command_queue.h"
#include "link/read_thread.h"
#include "link/usb_link.h"
#include "link_rig.h"
#include "support/test_peer.h"

namespace ostrel {
namespace {

using test::Bytes;
using test::EnvOr;
using test::LinkOnSocket;
using test::RxWaiting;
using test::TakeAny;
using test::TestPeer;
using test::WaitUntil;
using namespace std::chrono_literals;

Bytes Text(const char* s) { return Bytes(s, s + std::strlen(s)); }

const Bytes kGga = Text("$GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,*47\r\n");

// The module delivers a sentence in bulk-sized pieces; it arrives whole and in order.
void DeliverSentence(TestPeer& peer, LinkOnSocket& rig) {
  ASSERT_TRUE(peer.Send(Bytes(kGga.begin(), kGga.begin() + 64)));
  ASSERT_TRUE(peer.Send(Bytes(kGga.begin() + 64, kGga.end())));
  ASSERT_TRUE(
      WaitUntil([&] { return RxWaiting(rig.Link()) == static_cast<int32_t>(kGga.size()); }));
  EXPECT_EQ(rig.TakeAll(), kGga);
}

TEST(LinkOnSocketTest, ModuleUnpluggedAndPluggedBackIn) {
  const std::string name = TestPeer::UniqueName("unplug");
  auto peer = std::make_unique<TestPeer>(name);
  LinkOnSocket rig(name);
  UsbLink& link = rig.Link();
  ASSERT_TRUE(link.OpenDevice());
  ASSERT_TRUE(peer->Accept());
  EXPECT_EQ(peer->Recv(), Bytes{'j'});
  rig.Start();
  DeliverSentence(*peer, rig);

  // Unplugged while a read is pending: the read ends empty and the thread carries on.
  const Millis last_rx = link.State().LastRxTime.load();
  peer.reset();
  link.CloseDevice();  // what supervision does after the silence
  EXPECT_FALSE(link.OpenDevice());
  EXPECT_EQ(RxWaiting(link), 0);
  EXPECT_EQ(link.State().LastRxTime.load(), last_rx);

  // Plugged back in: the next open works and the bytes land at the front again.
  peer = std::make_unique<TestPeer>(name);
  ASSERT_TRUE(link.OpenDevice());
  ASSERT_TRUE(peer->Accept());
  EXPECT_EQ(peer->Recv(), Bytes{'j'});
  DeliverSentence(*peer, rig);
}

// Byte p of a stream of little-endian 32-bit counters: a lost, doubled or swapped byte
// anywhere shows.
std::uint8_t Pattern(long p) { return static_cast<std::uint8_t>((p / 4) >> (8 * (p % 4))); }

// OSTREL_STRESS_BYTES (1,000,000), OSTREL_STRESS_SLEEP_DIV (20: the 100 ms pauses take
// 5 ms; 1 for the real clock), OSTREL_STRESS_RATE (0: the module sends no more than 1983
// bytes ahead of the consumer; otherwise a fixed rate in bytes/s, which loses bytes once
// the consumer falls behind the discard point), OSTREL_STRESS_TICK_US (2000) and
// OSTREL_STRESS_WORK_US (500): the longest pause between takes and the longest hold.
TEST(LinkStressTest, EveryByteArrivesOnceAndInOrder) {
  const long total = EnvOr("OSTREL_STRESS_BYTES", 1'000'000);
  const long divisor = EnvOr("OSTREL_STRESS_SLEEP_DIV", 20);
  const long rate = EnvOr("OSTREL_STRESS_RATE", 0);
  const long window = kRxBufferSize - kStdBlockSize - 1;
  const auto seed = static_cast<unsigned>(EnvOr("OSTREL_STRESS_SEED", 20240611));

  const std::string name = TestPeer::UniqueName("stress");
  TestPeer peer(name);
  LinkOnSocket rig(name, divisor);
  UsbLink& link = rig.Link();
  ASSERT_TRUE(link.OpenDevice());
  ASSERT_TRUE(peer.Accept());
  ASSERT_EQ(peer.Recv(), Bytes{'j'});
  rig.Start();

  std::mutex mu;
  std::condition_variable cv;
  long taken = 0;  // guarded by mu
  std::atomic<bool> over{false};
  const auto begin = std::chrono::steady_clock::now();

  std::thread module([&] {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<long> size(1, 64);
    Bytes packet;
    packet.reserve(64);
    for (long sent = 0; sent < total && !over.load();) {
      const long n = std::min(size(rng), total - sent);
      if (rate > 0) {
        std::this_thread::sleep_until(begin + std::chrono::microseconds(sent * 1'000'000 / rate));
      } else {
        std::unique_lock lock(mu);
        cv.wait(lock, [&] { return sent + n - taken <= window || over.load(); });
      }
      packet.clear();
      for (long i = 0; i < n; ++i) packet.push_back(Pattern(sent + i));
      if (!peer.Send(packet)) break;
      sent += n;
    }
  });

  // The consumer works like the tick, at random intervals and for random lengths of time.
  std::mt19937 rng(seed + 1);
  std::uniform_int_distribution<long> interval_us(0, EnvOr("OSTREL_STRESS_TICK_US", 2000));
  std::uniform_int_distribution<long> work_us(0, EnvOr("OSTREL_STRESS_WORK_US", 500));
  const auto deadline = begin + 120s;
  long got = 0;
  long first_wrong = -1;
  std::uint8_t chunk[kRxBufferSize];
  while (got < total && first_wrong < 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::microseconds(interval_us(rng)));
    if (RxWaiting(link) == 0) continue;
    const int32_t n = TakeAny(link, chunk);
    for (int32_t i = 0; i < n && first_wrong < 0; ++i)
      if (chunk[i] != Pattern(got + i)) first_wrong = got + i;
    got += n;
    {
      std::lock_guard lock(mu);
      taken = got;
    }
    cv.notify_all();
    std::this_thread::sleep_for(std::chrono::microseconds(work_us(rng)));
    link.Release();
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
  over.store(true);
  cv.notify_all();
  module.join();

  std::printf("[ stress   ] %ld of %ld bytes in %.2f s = %.0f bytes/s (pause divisor %ld, %s)\n",
              got, total, seconds, static_cast<double>(got) / seconds, divisor,
              rate > 0 ? "fixed rate" : "1983-byte window");
  EXPECT_EQ(first_wrong, -1) << "first byte out of place at stream position " << first_wrong;
  EXPECT_EQ(got, total);
}

}  // namespace
}  // namespace ostrel
