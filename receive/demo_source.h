#pragma once
// The demonstration source: replays a text file of recorded NMEA sentences instead of
// the module, one group of lines per tick. A group is a run of consecutive lines that
// begin with the same six characters, e.g. the three $GPGSV lines of one second:
//   $GPGSV,3,1,12,17,72,207,32,28,59,095,31,06,35,347,25,01,29,132,23*7B
//   $GPGSV,3,2,12,30,23,011,29,20,17,069,20,26,09,293,23,13,07,304,10*7C
//   $GPGSV,3,3,12,11,12,132,04,08,38,008,,02,35,348,,03,14,091,*73
// The file stays open across ticks and is closed at its end, so the next tick starts
// the file over. A file whose first line ends in LF alone, as text files on Linux do,
// has its lines delivered ending in CR LF, as a receiver sends them; a file whose first
// line ends in CR LF is passed on byte for byte (a lone LF there is part of a UBX frame).
//
// A recording with its times (record/times_file.h: "walk.nmea" beside "walk.times") is
// played at the pace it was recorded instead: each tick takes the lines whose time has
// come, DemoSpeed times as fast, and NextDue says when the next one is due, so a timer
// can deliver it on time rather than at the next tick.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/clock.h"

namespace ostrel {

class DemoSource {
 public:
  // Lines longer than this (as read from the file) are cut; the rest is read as the
  // next line. A CR put in front of a lone LF comes on top.
  static constexpr int32_t kMaxLine = 99;
  static constexpr int32_t kKeyLength = 6;

  DemoSource() = default;
  ~DemoSource();
  DemoSource(const DemoSource&) = delete;
  DemoSource& operator=(const DemoSource&) = delete;

  // Name of the file to replay; empty means no demonstration runs. A change takes
  // effect at the next tick (an open file is only closed by Stop or at its end).
  std::string DemoFileName;

  // How many times faster than recorded a recording with times plays (1, 2, 10...);
  // read when the file is opened.
  int32_t DemoSpeed = 1;

  bool Active() const { return !DemoFileName.empty(); }
  // The open file plays at its recorded pace.
  bool Paced() const { return DemoFile != nullptr && paced_; }
  // When the next line of a paced file is due (the `now` of NextGroup's clock), or -1.
  Millis NextDue() const;
  bool IsOpen() const { return DemoFile != nullptr; }

  // Builds the next group in `chunk` (room for kChunkBufferSize bytes) and sets `len`;
  // writes the NUL after it. False when the file cannot be opened: the tick ends.
  // A group that does not fit in kMaxChunk bytes stops before the line that would not
  // fit; that line starts the next tick's chunk, so no line is lost or repeated.
  // A paced file gives the lines due by `now` instead, as many as fit; none may be due.
  bool NextGroup(std::uint8_t* chunk, int32_t& len, Millis now = 0);

  // Closes the file; the next start replays it from its first line.
  void Stop();

  // True once for each name that could not be opened (the open is retried every tick
  // and a later failure of the same name is not news); `reason` gets the system's
  // words. A name that opens, or Stop, makes the next failure news again.
  bool TakeOpenFailure(std::string& reason);

 private:
  // Reads one line of at most kMaxLine bytes from the file (LF included) into `line`,
  // which has room for kMaxLine + 1: in an LF file a lone LF is stored as CR LF. Sets
  // `at_end` when the end of the file was met while reading.
  int32_t ReadLine(std::uint8_t* line, bool& at_end);
  // Whether the just opened file's first line ends in LF alone; the file is rewound.
  bool FirstLineEndsInLf();
  // Where the next read starts, to go back to when a line read must wait.
  struct Mark {
    long offset;
    int last_byte;
  };
  Mark Here() const;
  void Back(const Mark& mark, bool& at_end);
  // The paced file's next lines that are due by `now`.
  void DueLines(std::uint8_t* chunk, int32_t& len, Millis now, bool& at_end);

  std::FILE* DemoFile = nullptr;
  bool lf_file_ = false;
  // The byte read last, across cut lines: a CR cut from its LF still pairs with it.
  int last_byte_ = EOF;
  std::string failed_name_;
  std::string failure_reason_;
  bool failure_new_ = false;
  // The times of a paced file, the clock when it was opened, and the next line's index.
  bool paced_ = false;
  std::vector<Millis> times_;
  Millis started_ = 0;
  int32_t speed_ = 1;
  std::size_t next_line_ = 0;
};

}  // namespace ostrel
