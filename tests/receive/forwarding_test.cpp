#include "receive/forwarding.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "receive_fakes.h"
#include "samples.h"

namespace ostrel::testing {
namespace {

// A NAV-SOL-sized run of UBX bytes with 0 bytes and no 0x0A.
const std::string kUbx("\xB5\x62\x01\x06\x34\x00\x00\x00\x00\x00\x10\x27\x03\x0D", 14);
// The same with a 0x0A byte in its payload.
const std::string kUbxWithLf("\xB5\x62\x01\x06\x34\x00\x0A\x00\x00\x00", 10);

std::string Cut(const std::string& s, std::size_t drop) { return s.substr(0, s.size() - drop); }

struct ForwardCase {
  const char* name;
  std::string chunk;
  std::vector<std::string> writes;
};

TEST(Forwarding, RunsOfNmeaTextInOneWrite) {
  const std::vector<ForwardCase> cases = {
      {"noise, GGA, RMC", "\x01\x02" + kGGA + kRMC, {kGGA + kRMC}},
      {"GGA then UBX", kGGA + kUbx, {kGGA}},
      {"GGA, UBX, RMC: both sentences", kGGA + kUbx + kRMC, {kGGA + kRMC}},
      {"GGA, module reply, GSA, noise, RMC",
       kGGA + "*c\r\n" + kGSA + "\x01\x02" + kRMC,
       {kGGA + kGSA + kRMC}},
      {"proprietary only", "$PMTK010,001*2E\r\n", {}},
      {"cut GGA, UBX without LF, RMC ending the chunk",
       Cut(kGGA, 1) + kUbx + kRMC,
       {Cut(kGGA, 1) + kUbx + kRMC}},
      {"an LF inside UBX ends the run",
       Cut(kGGA, 1) + kUbxWithLf + kRMC,
       {Cut(kGGA, 1) + kUbxWithLf.substr(0, 7) + kRMC}},
      {"proprietary after GGA rides along",
       kGGA + "$PMTK010,001*2E\r\n" + kRMC,
       {kGGA + "$PMTK010,001*2E\r\n" + kRMC}},
      {"proprietary before GGA is not forwarded", "$PMTK010,001*2E\r\n" + kGGA, {kGGA}},
      {"sentence cut at the chunk end", Cut(kGGA, 1), {}},
      {"only the CR of the last sentence missing its LF", kGGA + Cut(kRMC, 1), {}},
      {"reply of the module before the sentences", "*c" + kGSA, {kGSA}},
      {"UBX with 0 bytes before the sentences", kUbx + kGSA, {kGSA}},
      {"'$' as last byte", std::string("abc$"), {}},
      {"'$G' as last bytes", std::string("abc$G"), {}},
      {"empty chunk", std::string(), {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakePort port;
    std::string buf = c.chunk;
    std::vector<std::uint8_t> scratch(buf.size());
    ForwardChunk(port, reinterpret_cast<const std::uint8_t*>(buf.c_str()),
                 static_cast<int32_t>(buf.size()), false, scratch.data());
    EXPECT_EQ(port.writes, c.writes);
  }
}

TEST(Forwarding, PassBinaryDataWritesEveryByteEveryTick) {
  const std::vector<std::string> chunks = {"\x01\x02" + kGGA + kUbx + kRMC, std::string(), kUbx,
                                           "$PMTK010,001*2E\r\n"};
  FakePort port;
  std::string all;
  for (const auto& c : chunks) {
    ForwardChunk(port, reinterpret_cast<const std::uint8_t*>(c.c_str()),
                 static_cast<int32_t>(c.size()), true, nullptr);
    all += c;
  }
  EXPECT_EQ(port.writes, chunks);  // one write per tick, the empty one included
  EXPECT_EQ(port.All(), all);
}

}  // namespace
}  // namespace ostrel::testing
