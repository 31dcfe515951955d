// ParseNMEA and ParseUBX over real captures, cut into the chunks a receive tick takes.
//
//   tick:  whole lines up to 192 bytes, what 100 ms bring at 19200 baud;
//   full:  whole lines up to 2047 bytes, the most one tick can take.
// Captures stored with LF alone get the CR LF the receiver sends.
#include <benchmark/benchmark.h>

#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include "receiver/antaris.h"

namespace ostrel {
namespace {

std::string ReadCapture(const std::string& name, bool crlf) {
  std::ifstream in(std::string(OSTREL_CORPUS_DIR) + "/" + name, std::ios::binary);
  if (!in) throw std::runtime_error("capture missing: " + name);
  std::string raw{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  if (!crlf) return raw;
  std::string out;
  for (std::size_t i = 0; i < raw.size(); ++i) {
    if (raw[i] == '\n' && (i == 0 || raw[i - 1] != '\r')) out += '\r';
    out += raw[i];
  }
  return out;
}

// Chunks of whole lines up to `max` bytes, each followed by a NUL as in ChunkBuffer.
struct Chunks {
  std::vector<std::vector<char>> buffers;
  std::size_t bytes = 0;
  std::size_t sentences = 0;  // GSA, GSV, GGA and VTG sentences ParseNMEA applies
};

std::size_t AppliedSentences(std::string_view chunk) {
  TGPS probe;
  std::size_t n = 0;
  for (const char* tag : {"$GPGSA", "$GPGGA", "$GPVTG"}) n += probe.FindSentence(chunk, tag, 1);
  for (int copy = 1; copy <= 3; ++copy) n += probe.FindSentence(chunk, "$GPGSV", copy);
  return n;
}

Chunks Cut(const std::string& text, std::size_t max, bool count_sentences) {
  Chunks c;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = std::min(text.size(), start + max);
    const std::size_t lf = text.rfind('\n', end - 1);
    if (end < text.size() && lf != std::string::npos && lf >= start) end = lf + 1;
    std::vector<char> b(text.begin() + static_cast<std::ptrdiff_t>(start),
                        text.begin() + static_cast<std::ptrdiff_t>(end));
    if (count_sentences) c.sentences += AppliedSentences(std::string_view(b.data(), b.size()));
    c.bytes += b.size();
    b.push_back('\0');
    c.buffers.push_back(std::move(b));
    start = end;
  }
  return c;
}

void Report(benchmark::State& state, const Chunks& c) {
  using benchmark::Counter;
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * c.bytes));
  // Inverted rates: seconds per chunk and per applied sentence (CPU time).
  state.counters["per_chunk"] = Counter(static_cast<double>(c.buffers.size()),
                                        Counter::kIsIterationInvariantRate | Counter::kInvert);
  state.counters["chunks"] = static_cast<double>(c.buffers.size());
  if (c.sentences > 0) {
    state.counters["per_sentence"] = Counter(static_cast<double>(c.sentences),
                                             Counter::kIsIterationInvariantRate | Counter::kInvert);
    state.counters["sentences"] = static_cast<double>(c.sentences);
  }
}

void BM_ParseNMEA(benchmark::State& state, const char* name, std::size_t max) {
  const Chunks c = Cut(ReadCapture(name, true), max, true);
  TAntaris receiver;
  for (auto _ : state) {
    for (const auto& b : c.buffers) {
      try {
        benchmark::DoNotOptimize(receiver.ParseNMEA(b.data(), static_cast<int32_t>(b.size() - 1)));
      } catch (const ParseError&) {
      }
    }
  }
  Report(state, c);
}

void BM_ParseUBX(benchmark::State& state, const char* name, std::size_t max) {
  const Chunks c = Cut(ReadCapture(name, false), max, false);
  TAntaris receiver;
  for (auto _ : state) {
    for (const auto& b : c.buffers) {
      benchmark::DoNotOptimize(receiver.ParseUBX(reinterpret_cast<const std::uint8_t*>(b.data()),
                                                 static_cast<int32_t>(b.size() - 1)));
    }
  }
  Report(state, c);
}

// One real sentence of each type alone in its chunk: the cost of applying it.
void BM_ParseNMEA_One(benchmark::State& state, const char* sentence) {
  std::vector<char> b(sentence, sentence + std::char_traits<char>::length(sentence));
  const auto length = static_cast<int32_t>(b.size());
  b.push_back('\0');
  TAntaris receiver;
  if (!receiver.ParseNMEA(b.data(), length)) state.SkipWithError("sentence not applied");
  for (auto _ : state) benchmark::DoNotOptimize(receiver.ParseNMEA(b.data(), length));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * length));
}

constexpr std::size_t kTick = 192;
constexpr std::size_t kFull = 2047;

BENCHMARK_CAPTURE(BM_ParseNMEA, lea4h_tick, "ublox-lea-4h.log", kTick);
BENCHMARK_CAPTURE(BM_ParseNMEA, lea4h_full, "ublox-lea-4h.log", kFull);
BENCHMARK_CAPTURE(BM_ParseNMEA, lea5h_tick, "ublox-lea-5h.log", kTick);
BENCHMARK_CAPTURE(BM_ParseNMEA, bu353s4_tick, "bu353s4.log", kTick);
BENCHMARK_CAPTURE(BM_ParseNMEA, quectel_full, "quectel-l76k-nmea.log", kFull);
BENCHMARK_CAPTURE(BM_ParseUBX, aek4t_full, "ublox-aek-4t.log", kFull);
BENCHMARK_CAPTURE(BM_ParseUBX, zedf9t_full, "ublox-zed-f9t-ubx_nmea_l5.log", kFull);
BENCHMARK_CAPTURE(BM_ParseUBX, lea4h_full, "ublox-lea-4h.log", kFull);

BENCHMARK_CAPTURE(BM_ParseNMEA_One, GGA,
                  "$GPGGA,031518.00,4907.56818,N,12242.61064,W,1,09,1.13,98.5,M,-16.7,M,,*59\r\n");
BENCHMARK_CAPTURE(BM_ParseNMEA_One, GSA,
                  "$GPGSA,A,3,28,17,09,04,02,24,26,35,05,,,,2.20,1.13,1.89*03\r\n");
BENCHMARK_CAPTURE(BM_ParseNMEA_One, GSV,
                  "$GPGSV,4,1,13,28,25,097,26,17,62,063,35,09,56,285,29,04,33,148,43*78\r\n");
BENCHMARK_CAPTURE(BM_ParseNMEA_One, VTG, "$GPVTG,39.58,T,,M,0.084,N,0.155,K,A*07\r\n");

}  // namespace
}  // namespace ostrel

BENCHMARK_MAIN();
