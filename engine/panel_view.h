#pragma once
// What the engine reports to whoever shows it: the window, or the headless service's
// status lines. Every call comes on the engine's (the GUI) thread, never from inside a
// receive tick's nested event loop: messages raised in a tick wait for its end.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace ostrel {

class TGPS;

class PanelView {
 public:
  virtual ~PanelView() = default;

  // Connection_Label: the device state ("No Device", "Connected...") or the receiver's
  // UBX status text.
  virtual void ShowStatus(std::string_view text) = 0;
  // The tray icon's tip: status and port, already cut to what a tray shows.
  virtual void ShowTrayTip(const std::string& tip) = 0;
  // The GPS Data port: its name ("COM3"), the link an application opens, and a note
  // about it (two programs reading it at once, or gpsd kept out), already told on stderr
  // and in error.log, or "" for none.
  virtual void ShowPort(const std::string& name, const std::string& link_path,
                        const std::string& note) = 0;
  // The command sender's progress, and the module's answers to "*r" and "*v".
  virtual void ShowMessageStatus(std::string_view text) = 0;
  virtual void ShowSerial(std::string_view text) = 0;
  virtual void ShowFirmwareVersion(std::string_view text) = 0;

  // The displays run: `gps` has just taken in a fix (labels, SatGrid, sky plot).
  virtual void ShowFix(const TGPS& gps) = 0;
  // Whether what the displays show is current; old data is shown greyed.
  virtual void ShowFixCurrent(bool current) = 0;
  // The Data Stream page: the chunk's size, and its rendering into the memo.
  virtual void ShowChunkSize(std::string_view text) = 0;
  virtual int32_t MemoLineCount() const = 0;
  virtual void ClearMemo() = 0;
  virtual void AppendMemo(std::string_view text) = 0;

  // State the engine changed by itself: the ProcessGPS box, the Demonstration mark.
  virtual void ShowProcessGPS(bool on) = 0;
  virtual void ShowDemonstration(bool on) = 0;

  // A note that asks for no answer (recording stopped on a full disk, and going on
  // again), already told on stderr and in error.log.
  virtual void ShowNotice(const std::string& text) = 0;
  // A box with OK only ("Error", "Information").
  virtual void ShowMessage(const std::string& caption, const std::string& text) = 0;
  // Questions to the user; a view without one answers No and nothing.
  virtual bool ConfirmErase() = 0;
  virtual std::optional<std::string> AskDemoFileName() = 0;

  // The engine cannot go on (no GPS Data port could be had): the program ends.
  virtual void EndRequested() = 0;
};

}  // namespace ostrel
