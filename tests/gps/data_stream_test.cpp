#include "gps/data_stream.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "support/corpus.h"

namespace ostrel {
namespace {

std::vector<std::uint8_t> Bytes(const std::string& text) { return {text.begin(), text.end()}; }

std::string Render(const std::vector<std::uint8_t>& chunk) {
  char out[kLineBufferSize];
  std::memset(out, 'x', sizeof out);
  const int32_t n = RenderChunk(chunk.data(), static_cast<int32_t>(chunk.size()), out);
  if (n == kRenderDropped) return "<dropped>";
  EXPECT_EQ(out[n], '\0');
  return std::string(out, static_cast<std::size_t>(n));
}

struct RenderCase {
  const char* name;
  std::vector<std::uint8_t> chunk;
  std::string expected;
};

const char kGga[] =
    "$GPGGA,030858.00,4907.85331,N,12243.19743,W,1,03,9.97,516.7,M,-16.7,M,,*6C\r\n";

TEST(RenderChunk, Table) {
  const RenderCase cases[] = {
      {"sentence ending in LF is kept as it is", Bytes(kGga), kGga},
      // 0x62 is 'b': printable, so a UBX sync pair reads [B5]b.
      {"UBX sync bytes", {0xB5, 0x62}, "[B5]b\r\n"},
      {"TAB", {0x09}, "[09]\r\n"},
      {"DEL", {0x7F}, "[7F]\r\n"},
      {"NUL", {0x00}, "[00]\r\n"},
      {"high bytes in upper case", {0x80, 0xAB, 0xFF}, "[80][AB][FF]\r\n"},
      {"printable edges", {0x1F, 0x20, 0x7E}, "[1F] ~\r\n"},
      {"chunk ending in CR", Bytes("$GPVTG*30\r"), "$GPVTG*30\r\r\n"},
      {"lone LF", {'\n'}, "\n"},
      {"LF inside, not at the end", Bytes("A\nB"), "A\nB\r\n"},
      {"binary run inside text", {'$', 'G', 0xB5, 0x62, 0x01, '\r', '\n'}, "$G[B5]b[01]\r\n"},
  };
  for (const auto& c : cases) EXPECT_EQ(Render(c.chunk), c.expected) << c.name;
}

struct LimitCase {
  const char* name;
  int non_printable;
  int printable;
  int32_t expected_length;  // kRenderDropped when dropped
};

// 4 characters per non-printable byte, 1 per printable one; 4092 or more is dropped.
TEST(RenderChunk, LineBufferLimit) {
  const LimitCase cases[] = {
      {"1022 binary bytes fit", 1022, 0, 4088 + 2},
      {"1023 binary bytes alone reach 4092", 1023, 0, kRenderDropped},
      {"4091 characters fit, CR LF after them", 1022, 3, 4091 + 2},
      {"4092 characters are dropped", 1022, 4, kRenderDropped},
      {"a full 2047-byte text chunk", 0, 2047, 2047 + 2},
      {"4091 text bytes, more than a chunk holds", 0, 4091, 4091 + 2},
      {"4092 text bytes", 0, 4092, kRenderDropped},
      {"long input stops at the limit", 1023, 6000, kRenderDropped},
  };
  for (const auto& c : cases) {
    std::vector<std::uint8_t> chunk(static_cast<std::size_t>(c.non_printable), 0x01);
    chunk.insert(chunk.end(), static_cast<std::size_t>(c.printable), 'A');
    char out[kLineBufferSize];
    const int32_t n = RenderChunk(chunk.data(), static_cast<int32_t>(chunk.size()), out);
    EXPECT_EQ(n, c.expected_length) << c.name;
    if (n != kRenderDropped) {
      EXPECT_EQ(std::string(out + n - 2, 3), std::string("\r\n\0", 3)) << c.name;
    }
  }
}

TEST(RenderChunk, NothingToRender) {
  char out[kLineBufferSize];
  out[0] = 'x';
  EXPECT_EQ(RenderChunk(nullptr, 5, out), 0);
  EXPECT_EQ(out[0], '\0');
  const std::uint8_t byte = 'A';
  EXPECT_EQ(RenderChunk(&byte, 0, out), 0);
  EXPECT_EQ(RenderChunk(&byte, -3, out), 0);
}

// Output_Console as TMemo keeps it: a line list; an added entry is split at CR LF, so an
// entry ending in CR LF leaves an empty line after its text.
class MemoView : public StreamView {
 public:
  void SetChunkSize(std::string_view text) override { chunk_size = std::string(text); }
  int32_t MemoLineCount() const override { return static_cast<int32_t>(lines.size()); }
  void ClearMemo() override {
    lines.clear();
    ++clears;
  }
  void AppendMemo(std::string_view text) override {
    std::size_t start = 0;
    for (std::size_t at; (at = text.find("\r\n", start)) != std::string_view::npos;
         start = at + 2) {
      lines.emplace_back(text.substr(start, at - start));
    }
    lines.emplace_back(text.substr(start));
  }

  std::string chunk_size = "0";
  std::vector<std::string> lines;
  int clears = 0;
};

bool Show(DataStreamView& view, const std::vector<std::uint8_t>& chunk) {
  return view.Show(chunk.data(), static_cast<int32_t>(chunk.size()));
}

TEST(DataStreamView, SentenceShowsAsItsLineAndAnEmptyLine) {
  MemoView memo;
  DataStreamView view(memo);
  const auto chunk = Bytes(kGga);
  EXPECT_TRUE(Show(view, chunk));
  EXPECT_EQ(memo.chunk_size, std::to_string(chunk.size()));
  const std::string line(kGga, std::strlen(kGga) - 2);
  EXPECT_EQ(memo.lines, (std::vector<std::string>{line, ""}));
}

TEST(DataStreamView, BinaryGetsItsOwnLineBreak) {
  MemoView memo;
  DataStreamView view(memo);
  EXPECT_TRUE(Show(view, {0xB5, 0x62}));
  EXPECT_EQ(memo.chunk_size, "2");
  EXPECT_EQ(memo.lines, (std::vector<std::string>{"[B5]b", ""}));
}

// 1100 bytes render past the line buffer once 998 or more of them are non-printable.
TEST(DataStreamView, TooLongRenderingSetsChunkSizeAndLeavesTheMemo) {
  MemoView memo;
  memo.lines = {"typed by the user"};
  DataStreamView view(memo);
  std::vector<std::uint8_t> chunk(998, 0x00);
  chunk.insert(chunk.end(), 102, 'A');
  EXPECT_FALSE(Show(view, chunk));
  EXPECT_EQ(memo.chunk_size, "1100");
  EXPECT_EQ(memo.lines, (std::vector<std::string>{"typed by the user"}));
  EXPECT_EQ(memo.clears, 0);
}

// Real Antaris UBX output is only about two thirds non-printable, so its 1100-byte
// chunks fit the buffer and are shown.
TEST(DataStreamView, RealUbxChunkFitsTheLineBuffer) {
  const std::string capture = test::ReadCapture("ublox-aek-4t.log");
  ASSERT_GE(capture.size(), 1100u);
  const std::vector<std::uint8_t> chunk(capture.begin(), capture.begin() + 1100);
  MemoView memo;
  DataStreamView view(memo);
  EXPECT_TRUE(Show(view, chunk));
  EXPECT_EQ(memo.chunk_size, "1100");
  EXPECT_EQ(memo.lines.front().substr(0, 9), "[B5]b[04]");
}

TEST(DataStreamView, MoreThanHundredLinesAreClearedBeforeTheNextChunk) {
  struct Case {
    int lines_before;
    bool cleared;
  };
  for (const Case c : {Case{100, false}, Case{101, true}}) {
    MemoView memo;
    memo.lines.assign(static_cast<std::size_t>(c.lines_before), "old");
    DataStreamView view(memo);
    EXPECT_TRUE(Show(view, Bytes("$GPVTG,,,,,,,,,N*30\r\n")));
    if (c.cleared) {
      EXPECT_EQ(memo.lines, (std::vector<std::string>{"$GPVTG,,,,,,,,,N*30", ""}));
    } else {
      EXPECT_EQ(memo.lines.size(), static_cast<std::size_t>(c.lines_before + 2));
    }
    EXPECT_EQ(memo.clears, c.cleared ? 1 : 0) << c.lines_before;
  }
}

TEST(DataStreamView, ADroppedChunkDoesNotClearAFullMemo) {
  MemoView memo;
  memo.lines.assign(150, "old");
  DataStreamView view(memo);
  EXPECT_FALSE(Show(view, std::vector<std::uint8_t>(1023, 0x00)));
  EXPECT_EQ(memo.lines.size(), 150u);
}

TEST(DataStreamView, EmptyChunkTouchesNothing) {
  MemoView memo;
  DataStreamView view(memo);
  const std::uint8_t byte = 'A';
  EXPECT_FALSE(view.Show(&byte, 0));
  EXPECT_FALSE(view.Show(nullptr, 4));
  EXPECT_EQ(memo.chunk_size, "0");
  EXPECT_TRUE(memo.lines.empty());
}

// Output_Console as QPlainTextEdit keeps it: one text whose lines are its blocks, so an
// empty memo has one; an append to a memo with text starts a new block.
class PlainTextMemo : public MemoWidget {
 public:
  bool HoldBack() const override { return held; }
  int32_t LineCount() const override {
    return 1 + static_cast<int32_t>(std::count(text.begin(), text.end(), '\n'));
  }
  bool IsEmpty() const override { return text.empty(); }
  void Clear() override {
    text.clear();
    ++changes;
  }
  void Append(std::string_view lines) override {
    if (!text.empty()) text += '\n';
    text += lines;
    ++changes;
  }

  bool held = false;
  std::string text;
  int changes = 0;
};

// The data stream view over a deferred memo, as the window wires it.
class DeferredView : public StreamView {
 public:
  explicit DeferredView(MemoWidget& widget) : memo(widget) {}
  void SetChunkSize(std::string_view) override {}
  int32_t MemoLineCount() const override { return memo.LineCount(); }
  void ClearMemo() override { memo.Clear(); }
  void AppendMemo(std::string_view text) override { memo.Append(text); }

  DeferredMemo memo;
};

// A memo held back for the first `held_steps` of a run, then flushed, ends as the memo
// that was never held; while held it is not touched, and the line count it answers (which
// decides the clear past 100 lines) is the one the other memo has at each step.
TEST(DeferredMemo, HeldBackThenFlushedEndsAsTheMemoNeverHeld) {
  struct Case {
    const char* name;
    std::vector<std::string> chunks;
    int held_steps;
    std::string start;  // the memo's text before the run
  };
  const std::string gga = kGga;
  const std::vector<std::string> many(60, gga);  // 120 lines: the clear comes once
  const std::vector<std::string> mixed = {gga, "\xB5\x62\x01", "A\nB", gga, "\n", gga};
  const Case cases[] = {
      {"all held", many, 60, ""},
      {"held past the clear", many, 55, ""},
      {"held before the clear only", many, 20, ""},
      {"held from a memo with text", mixed, 6, "typed"},
      {"held in the middle", mixed, 3, ""},
      {"nothing held", mixed, 0, "typed"},
      {"a lone LF first", {"\n", gga}, 2, ""},
  };
  for (const Case& c : cases) {
    PlainTextMemo shown, held;
    shown.text = held.text = c.start;
    held.held = c.held_steps > 0;
    DeferredView always(shown), later(held);
    DataStreamView always_view(always), later_view(later);
    int step = 0;
    for (const std::string& chunk : c.chunks) {
      const auto bytes = Bytes(chunk);
      always_view.Show(bytes.data(), static_cast<int32_t>(bytes.size()));
      if (step == c.held_steps) {
        EXPECT_EQ(held.changes, 0) << c.name;
        held.held = false;
        later.memo.Flush();
      }
      later_view.Show(bytes.data(), static_cast<int32_t>(bytes.size()));
      ++step;
      EXPECT_EQ(later.memo.LineCount(), always.memo.LineCount()) << c.name << " step " << step;
    }
    if (held.held) {
      EXPECT_EQ(held.changes, 0) << c.name;
    }
    held.held = false;
    later.memo.Flush();
    EXPECT_EQ(held.text, shown.text) << c.name;
  }
}

// CR LF and lone CRs go: the memo breaks lines at LF.
TEST(DeferredMemo, CarriageReturnsAreLeftOut) {
  for (const bool hold : {false, true}) {
    PlainTextMemo widget;
    widget.held = hold;
    DeferredMemo memo(widget);
    memo.Append("$GPVTG*30\r\r\n");
    memo.Append("A\r\nB\r\n");
    EXPECT_EQ(memo.LineCount(), 5) << hold;
    widget.held = false;
    memo.Flush();
    EXPECT_EQ(widget.text, "$GPVTG*30\n\nA\nB\n") << hold;
  }
}

}  // namespace
}  // namespace ostrel
