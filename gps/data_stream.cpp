#include "gps/data_stream.h"

#include <algorithm>
#include <charconv>

namespace ostrel {

int32_t RenderChunk(const std::uint8_t* chunk, int32_t len, char (&out)[kLineBufferSize]) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  int32_t n = 0;
  if (chunk == nullptr || len <= 0) {
    out[0] = '\0';
    return 0;
  }
  for (int32_t i = 0; i < len; ++i) {
    const std::uint8_t byte = chunk[i];
    if ((byte >= 0x20 && byte <= 0x7E) || byte == '\r' || byte == '\n') {
      out[n++] = static_cast<char>(byte);
    } else {
      out[n++] = '[';
      out[n++] = kHex[byte >> 4];
      out[n++] = kHex[byte & 0x0F];
      out[n++] = ']';
    }
    // Checked after every byte, so n stays at most 4091 + 4 and the buffer is safe for
    // any len, not just the 2047 bytes a chunk can hold.
    if (n >= kRenderLimit) return kRenderDropped;
  }
  if (out[n - 1] != '\n') {
    out[n++] = '\r';
    out[n++] = '\n';
  }
  out[n] = '\0';
  return n;
}

bool DataStreamView::Show(const std::uint8_t* chunk, int32_t len) {
  if (chunk == nullptr || len <= 0) return false;
  char size_text[16];
  const auto size_end = std::to_chars(size_text, size_text + sizeof size_text, len).ptr;
  view_.SetChunkSize(std::string_view(size_text, static_cast<std::size_t>(size_end - size_text)));

  const int32_t n = RenderChunk(chunk, len, line_);
  if (n == kRenderDropped) return false;
  // Emptied whole rather than trimmed line by line: that keeps the memo cheap.
  if (view_.MemoLineCount() > kMemoMaxLines) view_.ClearMemo();
  view_.AppendMemo(std::string_view(line_, static_cast<std::size_t>(n)));
  return true;
}

int32_t DeferredMemo::LineCount() const {
  if (!pending_.empty() || clear_pending_) return pending_lines_;
  return memo_.LineCount();
}

void DeferredMemo::Clear() {
  if (!memo_.HoldBack()) {
    Flush();
    memo_.Clear();
    return;
  }
  pending_.clear();
  clear_pending_ = true;
  pending_empty_ = true;
  pending_lines_ = 1;
}

void DeferredMemo::Append(std::string_view text) {
  std::string lines;
  lines.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\r') lines += text[i];
  }
  if (!memo_.HoldBack()) {
    Flush();
    memo_.Append(lines);
    return;
  }
  if (pending_.empty() && !clear_pending_) {
    pending_lines_ = memo_.LineCount();
    pending_empty_ = memo_.IsEmpty();
  }
  // An append to a memo with text starts a new line; the text's own LFs add the rest.
  pending_lines_ +=
      static_cast<int32_t>(std::count(lines.begin(), lines.end(), '\n')) + (pending_empty_ ? 0 : 1);
  if (!pending_.empty()) pending_ += '\n';
  pending_ += lines;
  pending_empty_ = pending_empty_ && lines.empty();
}

void DeferredMemo::Flush() {
  if (clear_pending_) memo_.Clear();
  if (!pending_.empty()) memo_.Append(pending_);
  clear_pending_ = false;
  pending_.clear();
}

}  // namespace ostrel
