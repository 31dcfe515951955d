#include "app/headless.h"

#include <unistd.h>

#include <QCoreApplication>
#include <string>
#include <utility>

#include "app/session_end.h"
#include "engine/settings.h"
#include "gps/tgps.h"
#include "link/usb_link.h"
#include "platform/single_instance.h"

namespace ostrel {

void HeadlessView::Line(const std::string& text) {
  std::fprintf(out_, "%s\n", text.c_str());
  std::fflush(out_);
}

void HeadlessView::ShowPort(const std::string& name, const std::string& link_path,
                            const std::string&) {
  // The note has been told on stderr already; the line is said once per port.
  if (name.empty() || link_path.empty()) return;
  std::string line = "GPS Data port " + name + " at " + link_path;
  if (line == port_line_) return;
  Line(line);
  port_line_ = std::move(line);
}

void HeadlessView::ShowMessage(const std::string& caption, const std::string& text) {
  std::fprintf(err_, "ostrel-panel: %s: %s\n", caption.c_str(), text.c_str());
  std::fflush(err_);
}

void HeadlessView::EndRequested() {
  failed_ = true;
  QCoreApplication::exit(1);
}

void HeadlessView::OnStatus(std::string_view) {
  const bool open = engine_ != nullptr && engine_->Link() != nullptr &&
                    engine_->Link()->State().DeviceOpen.load();
  if (open == module_) return;
  module_ = open;
  if (!open && !fix_.empty()) {
    fix_.clear();
    Line("fix lost");
  }
  Line(open ? "module found" : "module lost");
}

void HeadlessView::OnFix(const TGPS& gps) {
  // GGA's quality: "No fix", or the kind of fix (SPS, DGPS).
  const std::string& mode = gps.FixModeText;
  const bool fix = !mode.empty() && mode != "No fix";
  if (fix && fix_.empty()) Line("fix gained (" + mode + ")");
  if (!fix && !fix_.empty() && !mode.empty()) Line("fix lost");
  if (fix || !mode.empty()) fix_ = fix ? mode : std::string();
}

int RunHeadless(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  QCoreApplication::setApplicationName(QStringLiteral("ostrel-panel"));
  std::string running;
  const std::string holder =
      "as a service without a window (process " + std::to_string(::getpid()) + ")";
  if (AlreadyRunning(holder, running)) {
    std::fprintf(stderr, "ostrel-panel: another GPS Control Panel is already running%s%s\n",
                 running.empty() ? "" : " ", running.c_str());
    return 1;
  }
  // What writers killed in the middle of a settings write left behind.
  ProfileFile(kSettingsFileName).RemoveStaleTemporaries();
  // Installed before the start-up: a signal during it ends the service as well.
  QuitOnSessionEnd();
  HeadlessView view(stdout, stderr);
  PanelEngine engine(RealEnvironment(), view);
  view.Attach(engine);
  engine.AddObserver(&view);
  const bool started = engine.Start();
  if (view.Failed() || !started) return 1;
  if (SessionEnded()) return 0;
  const int code = QCoreApplication::exec();
  engine.RemoveObserver(&view);
  return view.Failed() ? 1 : code;
}

}  // namespace ostrel
