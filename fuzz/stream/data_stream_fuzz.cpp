// The data stream view over any chunk. RenderChunk writes into an exact 4096-byte heap
// buffer (a byte past it shows), keeps printable bytes, CR and LF as they are and turns
// every other byte into "[XX]", drops a rendering that reaches 4092 characters and
// otherwise ends it in LF. DataStreamView shows what RenderChunk made and keeps the memo
// near 100 lines.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "gps/data_stream.h"

namespace {

void Check(bool ok) {
  if (!ok) std::abort();
}

bool Plain(std::uint8_t b) { return (b >= 0x20 && b <= 0x7E) || b == '\r' || b == '\n'; }

// What one byte looks like on the page.
std::string Shown(std::uint8_t b) {
  if (Plain(b)) return std::string(1, static_cast<char>(b));
  char hex[8];
  std::snprintf(hex, sizeof hex, "[%02X]", b);
  return hex;
}

// The memo's side: lines are counted as the memo breaks them, at CR LF.
class FakeView final : public ostrel::StreamView {
 public:
  void SetChunkSize(std::string_view text) override { chunk_size = std::string(text); }
  int32_t MemoLineCount() const override { return lines; }
  void ClearMemo() override {
    lines = 0;
    ++clears;
  }
  void AppendMemo(std::string_view text) override {
    appended = std::string(text);
    ++appends;
    int32_t breaks = 0;
    for (std::size_t i = 0; i + 1 < text.size(); ++i) {
      if (text[i] == '\r' && text[i + 1] == '\n') ++breaks;
    }
    lines += breaks;
  }
  std::string chunk_size;
  std::string appended;
  int32_t lines = 0;
  int appends = 0;
  int clears = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const int shows = in.ConsumeIntegralInRange<int>(1, 4);
  const std::vector<std::uint8_t> bytes = in.ConsumeRemainingBytes<std::uint8_t>();
  const auto total = static_cast<int32_t>(bytes.size());

  // The rendering as the page should show it, with the length at which it is dropped.
  std::string expected;
  for (std::uint8_t b : bytes) expected += Shown(b);
  const bool dropped = expected.size() >= static_cast<std::size_t>(ostrel::kRenderLimit);
  if (!dropped && !expected.empty() && expected.back() != '\n') expected += "\r\n";

  auto storage = std::make_unique<char[]>(ostrel::kLineBufferSize);
  auto& out = *reinterpret_cast<char(*)[ostrel::kLineBufferSize]>(storage.get());
  const int32_t n = ostrel::RenderChunk(bytes.data(), total, out);
  if (dropped) {
    Check(n == ostrel::kRenderDropped);
  } else {
    Check(n >= 0 && n < ostrel::kLineBufferSize);
    Check(n >= total && n <= 4 * total + 2);
    Check(std::string_view(out, static_cast<std::size_t>(n)) == expected);
    Check(out[n] == '\0');
  }
  Check(ostrel::RenderChunk(bytes.data(), 0, out) == 0 && out[0] == '\0');
  Check(ostrel::RenderChunk(bytes.data(), -total - 1, out) == 0);

  int32_t breaks = 0;  // CR LF pairs in the rendering
  for (std::size_t i = 0; i + 1 < expected.size(); ++i) {
    if (expected[i] == '\r' && expected[i + 1] == '\n') ++breaks;
  }

  // The same chunk shown a few times over a memo that starts at some fill.
  FakeView page;
  page.lines = static_cast<int32_t>(expected.size() % 120);
  ostrel::DataStreamView view(page);
  for (int i = 0; i < shows; ++i) {
    const int32_t before = page.lines;
    const int appends = page.appends;
    const int clears = page.clears;
    const bool shown = view.Show(bytes.data(), total);
    if (total == 0) {
      Check(!shown && page.chunk_size.empty() && page.appends == appends);
      continue;
    }
    Check(page.chunk_size == std::to_string(total));
    Check(shown == !dropped);
    if (!shown) {
      Check(page.appends == appends && page.lines == before);
      continue;
    }
    Check(page.appends == appends + 1 && page.appended == expected);
    Check(page.appended.back() == '\n');
    // Emptied first exactly when it held more than 100 lines; never in between.
    const bool cleared = before > ostrel::kMemoMaxLines;
    Check(page.clears == clears + (cleared ? 1 : 0));
    Check(page.lines == (cleared ? 0 : before) + breaks);
  }
  return 0;
}
