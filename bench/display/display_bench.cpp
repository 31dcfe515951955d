// What the receive cycle spends on the screen per 100 ms tick: a full fix display update
// with 12 satellites, and one 2047-byte chunk of mixed NMEA and UBX for the data stream.
// Drawn on Qt's offscreen platform unless QT_QPA_PLATFORM says otherwise.
#include <benchmark/benchmark.h>

#include <QGuiApplication>
#include <QImage>
#include <array>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "gps/data_stream.h"
#include "gps/fix_display.h"
#include "gps/sky_plot_draw.h"

namespace ostrel {
namespace {

class CellView : public FixView {
 public:
  void SetFixTexts(const std::string& mode, const std::string& latitude,
                   const std::string& longitude, const std::string& elevation,
                   const std::string& speed) override {
    texts_ = {mode, latitude, longitude, elevation, speed};
  }
  void SetSatCell(int row, int col, std::string_view text) override {
    cells_[static_cast<std::size_t>(row)][static_cast<std::size_t>(col)].assign(text);
  }

 private:
  std::array<std::string, 5> texts_;
  std::array<std::array<std::string, kSatGridColumns>, kSatGridLastRow + 1> cells_;
};

class CountingStreamView : public StreamView {
 public:
  void SetChunkSize(std::string_view text) override { size_.assign(text); }
  int32_t MemoLineCount() const override { return lines_; }
  void ClearMemo() override { lines_ = 0; }
  void AppendMemo(std::string_view text) override {
    for (char ch : text) lines_ += ch == '\n';
    benchmark::DoNotOptimize(text.data());
  }

 private:
  std::string size_;
  int32_t lines_ = 0;
};

void UseTwelveSatellites(TGPS& gps) {
  gps.FixModeText = "SPS";
  gps.LatitudeText = "49.130888 N";
  gps.LongitudeText = "122.719957 W";
  gps.ElevationText = "516.7 M";
  gps.SpeedText = "1.943 K";
  for (int i = 0; i < 12; ++i) {
    gps.Sat[2 + 2 * static_cast<std::size_t>(i)] = {true, 5 + 7 * i, 29 * i, 30 + i};
  }
}

void BM_FixDisplayUpdate(benchmark::State& state) {
  TGPS gps;
  UseTwelveSatellites(gps);
  CellView view;
  QImage bitmap = NewSatBitmap();
  for (auto _ : state) {
    UpdateFixDisplay(gps, view);
    RedrawSkyPlot(bitmap, "10", gps);
    benchmark::DoNotOptimize(bitmap.constBits());
  }
}
BENCHMARK(BM_FixDisplayUpdate)->Unit(benchmark::kMicrosecond);

void BM_SatGridOnly(benchmark::State& state) {
  TGPS gps;
  UseTwelveSatellites(gps);
  CellView view;
  for (auto _ : state) UpdateFixDisplay(gps, view);
}
BENCHMARK(BM_SatGridOnly)->Unit(benchmark::kMicrosecond);

// Arg 0: the start of a real ZED-F9T capture, NMEA with UBX NAV frames in between
// (306 non-printable bytes, 2965 characters). Arg 1: the most a kept chunk can cost,
// 681 binary bytes among 1366 text bytes, 4090 characters.
std::vector<std::uint8_t> MixedChunk(int64_t which) {
  std::vector<std::uint8_t> chunk(2047);
  if (which == 1) {
    for (std::size_t i = 0; i < chunk.size(); ++i)
      chunk[i] = i % 3 == 0 && i < std::size_t{3} * 681 ? 0xB5 : 'G';
    return chunk;
  }
  std::ifstream file(std::string(OSTREL_CORPUS_DIR) + "/ublox-zed-f9t-ubx_nmea_l5.log",
                     std::ios::binary);
  file.read(reinterpret_cast<char*>(chunk.data()), static_cast<std::streamsize>(chunk.size()));
  if (file.gcount() != static_cast<std::streamsize>(chunk.size())) std::abort();
  return chunk;
}

void BM_RenderChunk(benchmark::State& state) {
  const std::vector<std::uint8_t> chunk = MixedChunk(state.range(0));
  char out[kLineBufferSize];
  int32_t n = 0;
  for (auto _ : state) {
    n = RenderChunk(chunk.data(), static_cast<int32_t>(chunk.size()), out);
    benchmark::DoNotOptimize(out);
  }
  state.counters["rendered_chars"] = n;  // -1 would mean dropped: measure a kept chunk
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * chunk.size()));
}
BENCHMARK(BM_RenderChunk)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

void BM_DataStreamView(benchmark::State& state) {
  const std::vector<std::uint8_t> chunk = MixedChunk(state.range(0));
  CountingStreamView memo;
  DataStreamView view(memo);
  bool shown = false;
  for (auto _ : state) {
    shown = view.Show(chunk.data(), static_cast<int32_t>(chunk.size()));
    benchmark::DoNotOptimize(shown);
  }
  state.counters["shown"] = shown;
}
BENCHMARK(BM_DataStreamView)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace ostrel

int main(int argc, char** argv) {
  if (std::getenv("QT_QPA_PLATFORM") == nullptr) setenv("QT_QPA_PLATFORM", "offscreen", 1);
  QGuiApplication app(argc, argv);  // fonts for the sky plot's labels
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
