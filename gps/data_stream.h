#pragma once
// The Data Stream page: each chunk's length in ChunkSize and its bytes, made readable,
// in the memo Output_Console. Binary bytes show as [B5]; text passes through.
#include <cstdint>
#include <string>
#include <string_view>

namespace ostrel {

// The line buffer one chunk is rendered into. A rendering that reaches kRenderLimit
// characters is dropped; below it there is always room for the CR LF and a NUL.
inline constexpr int32_t kLineBufferSize = 4096;
inline constexpr int32_t kRenderLimit = 4092;
inline constexpr int32_t kRenderDropped = -1;
// The memo is emptied before a chunk is added once it holds more lines than this.
inline constexpr int32_t kMemoMaxLines = 100;

// Renders `len` bytes of `chunk` into `out`: 0x20..0x7E, CR and LF as they are, every
// other byte as "[%02X]"; CR LF is appended unless the rendering ends in LF. Returns
// the rendering's length (out is NUL-terminated after it), or kRenderDropped when it
// reached kRenderLimit characters. A len of 0 or less renders to nothing (length 0).
int32_t RenderChunk(const std::uint8_t* chunk, int32_t len, char (&out)[kLineBufferSize]);

// The window's side of the view.
class StreamView {
 public:
  virtual ~StreamView() = default;
  virtual void SetChunkSize(std::string_view text) = 0;
  virtual int32_t MemoLineCount() const = 0;
  virtual void ClearMemo() = 0;
  // Adds `text` as a new entry of the memo's line list; it ends in LF (normally CR LF)
  // and the memo breaks it into lines at its CR LF pairs. Only valid during the call.
  virtual void AppendMemo(std::string_view text) = 0;
};

class DataStreamView {
 public:
  explicit DataStreamView(StreamView& view) : view_(view) {}
  DataStreamView(const DataStreamView&) = delete;
  DataStreamView& operator=(const DataStreamView&) = delete;

  // Shows one chunk (len > 0; the receive cycle skips empty ones and so does this).
  // Returns whether the memo got the rendering; false when it was too long to show.
  bool Show(const std::uint8_t* chunk, int32_t len);

 private:
  StreamView& view_;
  char line_[kLineBufferSize];
};

// The memo widget itself, as DeferredMemo drives it.
class MemoWidget {
 public:
  virtual ~MemoWidget() = default;
  // A change now would be laid out for nobody: the window shows, with another page up.
  virtual bool HoldBack() const = 0;
  virtual int32_t LineCount() const = 0;
  virtual bool IsEmpty() const = 0;
  virtual void Clear() = 0;
  // `lines` separated by LF; on a memo with text they start on a new line.
  virtual void Append(std::string_view lines) = 0;
};

// The memo side of StreamView for a memo that is kept up to date only while it can be
// seen: laying out a hundred lines each tick is what a shown window spends most on.
// Meanwhile what the memo would get waits here and goes in, as one append, by Flush when
// its page comes up; the line count is the one the memo would have had.
class DeferredMemo {
 public:
  explicit DeferredMemo(MemoWidget& memo) : memo_(memo) {}
  DeferredMemo(const DeferredMemo&) = delete;
  DeferredMemo& operator=(const DeferredMemo&) = delete;

  int32_t LineCount() const;
  void Clear();
  // `text` as StreamView::AppendMemo gets it: the memo breaks lines at CR LF, so each
  // chunk shows as its lines and then one empty line, which sets the chunks apart.
  void Append(std::string_view text);
  // What waits goes into the memo now.
  void Flush();

 private:
  MemoWidget& memo_;
  std::string pending_;
  bool clear_pending_ = false;
  bool pending_empty_ = false;  // the memo as it will be holds no text
  int32_t pending_lines_ = 0;   // its line count as it will be
};

}  // namespace ostrel
