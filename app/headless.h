#pragma once
// ostrel-panel --no-window: the engine as a service, with Qt Core alone (no display,
// no session bus). Status changes are one line each on standard output:
//   GPS Data port COM1 at /home/me/.config/ostrel-panel/COM1
//   module found
//   fix gained (SPS)
//   fix lost
//   module lost
// Messages the window would show in a box go to standard error. SIGTERM, SIGINT and
// SIGHUP end it as a session's end ends the window.
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

#include "engine/panel_engine.h"
#include "engine/panel_view.h"

namespace ostrel {

class HeadlessView final : public PanelView, public StreamObserver {
 public:
  // Lines go to `out`, messages to `err`.
  HeadlessView(std::FILE* out, std::FILE* err) : out_(out), err_(err) {}
  void Attach(PanelEngine& engine) { engine_ = &engine; }
  // A message ended the service (no GPS Data port): the exit code is 1.
  bool Failed() const { return failed_; }

  // PanelView: the port, messages and the end; the displays have nobody to show to.
  void ShowStatus(std::string_view) override {}
  void ShowTrayTip(const std::string&) override {}
  void ShowPort(const std::string& name, const std::string& link_path,
                const std::string& note) override;
  void ShowMessageStatus(std::string_view) override {}
  void ShowSerial(std::string_view) override {}
  void ShowFirmwareVersion(std::string_view) override {}
  void ShowFix(const TGPS&) override {}
  void ShowFixCurrent(bool) override {}
  void ShowChunkSize(std::string_view) override {}
  int32_t MemoLineCount() const override { return 0; }
  void ClearMemo() override {}
  void AppendMemo(std::string_view) override {}
  void ShowProcessGPS(bool) override {}
  void ShowDemonstration(bool) override {}
  void ShowNotice(const std::string&) override {}
  void ShowMessage(const std::string& caption, const std::string& text) override;
  bool ConfirmErase() override { return false; }
  std::optional<std::string> AskDemoFileName() override { return std::nullopt; }
  void EndRequested() override;

  // StreamObserver: the module's presence and the fix.
  void OnForwarded(const std::uint8_t*, int32_t) override {}
  void OnFix(const TGPS& gps) override;
  void OnStatus(std::string_view status) override;

 private:
  void Line(const std::string& text);

  std::FILE* out_;
  std::FILE* err_;
  PanelEngine* engine_ = nullptr;
  bool module_ = false;
  std::string fix_;        // the fix mode while there is a fix
  std::string port_line_;  // the port as said last
  bool failed_ = false;
};

// The service's run: the one-per-user mark, the engine, the loop. Its exit code.
int RunHeadless(int argc, char** argv);

}  // namespace ostrel
