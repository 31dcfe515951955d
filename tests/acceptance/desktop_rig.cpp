// GCC 12 at -O2 with the sanitizers warns inside std::regex's own std::function members.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include "desktop_rig.h"

#include <xcb/xcb.h>

#include <cstring>
#include <regex>

namespace ostrel::acceptance {

namespace fs = std::filesystem;

namespace {

std::string Quote(const std::string& text) {
  std::string out = "'";
  for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

std::string FirstLine(const std::string& text) { return text.substr(0, text.find('\n')); }

bool Exists(const char* tool) {
  return std::system((std::string("command -v ") + tool + " >/dev/null 2>&1").c_str()) == 0;
}

// What the desktop needs and this machine lacks ("xprop is missing"), or empty.
std::string MissingTool(bool window_manager) {
  for (const char* tool : {"Xvfb", "xdotool", "xprop", "import", "dbus-daemon", "gdbus"}) {
    if (!Exists(tool)) return std::string(tool) + " is missing";
  }
  if (window_manager && !Exists("openbox")) return "openbox is missing";
  return {};
}

}  // namespace

Desktop::Desktop(const fs::path& dir, DesktopOptions options) : dir_(dir), options_(options) {
  why_ = MissingTool(options_.window_manager);
  if (!why_.empty()) return;
  // A display number of our own: Xvfb writes the one it took into the file.
  const fs::path number = dir_ / "display";
  const std::string screen =
      std::to_string(options_.width) + "x" + std::to_string(options_.height) + "x24";
  xvfb_ = std::make_unique<Child>(
      std::vector<std::string>{
          "/bin/sh", "-c",
          "exec Xvfb -displayfd 3 -screen 0 " + screen + " -nolisten tcp 3>" + number.string()},
      dir_, dir_ / "xvfb.log");
  if (!WaitFor([&] { return ReadFile(number).find('\n') != std::string::npos; },
               std::chrono::seconds(10))) {
    why_ = "Xvfb did not start";
    return;
  }
  display_ = ":" + FirstLine(ReadFile(number));

  const fs::path address = dir_ / "bus";
  bus_daemon_ = std::make_unique<Child>(
      std::vector<std::string>{"/bin/sh", "-c",
                               "exec dbus-daemon --session --nofork --nopidfile --print-address=3 "
                               "3>" +
                                   address.string()},
      dir_, dir_ / "bus.log");
  if (!WaitFor([&] { return ReadFile(address).find('\n') != std::string::npos; },
               std::chrono::seconds(10))) {
    why_ = "dbus-daemon did not start";
    return;
  }
  bus_ = FirstLine(ReadFile(address));

  if (options_.window_manager) {
    wm_ = std::make_unique<Child>(
        std::vector<std::string>{"/bin/sh", "-c", "exec openbox --sm-disable"}, dir_,
        dir_ / "openbox.log", Env());
    if (!WaitFor(
            [&] {
              return Run("xprop -root _NET_SUPPORTING_WM_CHECK").find("window id") !=
                     std::string::npos;
            },
            std::chrono::seconds(30))) {
      why_ = "openbox did not start";
      return;
    }
  }
  if (options_.status_notifier) {
    watcher_ = std::make_unique<Child>(std::vector<std::string>{OSTREL_SNI_WATCHER_PATH}, dir_,
                                       dir_ / "watcher.log", Env());
    if (!WaitFor([&] { return ReadFile(dir_ / "watcher.log").find("ready") != std::string::npos; },
                 std::chrono::seconds(10))) {
      why_ = "the StatusNotifier host did not start: " + ReadFile(dir_ / "watcher.log");
      return;
    }
  }
  ready_ = true;
}

Desktop::~Desktop() {
  watcher_.reset();
  wm_.reset();
  bus_daemon_.reset();
  xvfb_.reset();
}

std::vector<std::string> Desktop::Env() const {
  return {"DISPLAY=" + display_, "QT_QPA_PLATFORM=xcb", "DBUS_SESSION_BUS_ADDRESS=" + bus_};
}

std::string Desktop::Run(const std::string& command) const {
  const std::string line = "DISPLAY=" + display_ + " DBUS_SESSION_BUS_ADDRESS=" + Quote(bus_) +
                           " " + command + " 2>/dev/null";
  std::string out;
  if (FILE* pipe = ::popen(line.c_str(), "r")) {
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, pipe)) > 0) out.append(buf, n);
    ::pclose(pipe);
  }
  return out;
}

std::string Desktop::VisibleWindow(const std::string& name) const {
  // The panel's own windows only: the window manager may have windows of that name.
  std::istringstream ids(Run("xdotool search --onlyvisible --name " + Quote(name)));
  std::string id;
  while (std::getline(ids, id)) {
    if (Run("xprop -id " + id + " WM_CLASS").find("\"ostrel-panel\"") != std::string::npos)
      return id;
  }
  return "";
}

std::string Desktop::WindowName(const std::string& id) const {
  // _NET_WM_NAME(UTF8_STRING) = "text", with nothing after "= " when it is empty.
  const std::string out = FirstLine(Run("xprop -id " + id + " _NET_WM_NAME"));
  const std::size_t equals = out.find(" = ");
  if (equals == std::string::npos) return "(no name: " + out + ")";
  std::string value = out.substr(equals + 3);
  if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
    value = value.substr(1, value.size() - 2);
  return value;
}

WindowBox Desktop::Frame(const std::string& id) const {
  WindowBox box;
  const std::string geometry = Run("xdotool getwindowgeometry --shell " + id);
  auto value = [&](const char* key) {
    const std::regex re(std::string("(^|\n)") + key + "=(-?[0-9]+)");
    std::smatch m;
    return std::regex_search(geometry, m, re) ? std::stoi(m[2]) : -1;
  };
  box = {value("X"), value("Y"), value("WIDTH"), value("HEIGHT")};
  // _NET_FRAME_EXTENTS = left, right, top, bottom
  const std::string extents = Run("xprop -id " + id + " _NET_FRAME_EXTENTS");
  std::smatch m;
  if (std::regex_search(extents, m, std::regex("= ([0-9]+), ([0-9]+), ([0-9]+), ([0-9]+)"))) {
    const int left = std::stoi(m[1]), right = std::stoi(m[2]), top = std::stoi(m[3]),
              bottom = std::stoi(m[4]);
    box = {box.x - left, box.y - top, box.width + left + right, box.height + top + bottom};
  }
  return box;
}

void Desktop::Close(const std::string& id) const {
  xcb_connection_t* c = xcb_connect(display_.c_str(), nullptr);
  if (xcb_connection_has_error(c) != 0) {
    xcb_disconnect(c);
    return;
  }
  auto atom = [c](const char* name) {
    xcb_intern_atom_reply_t* reply = xcb_intern_atom_reply(
        c, xcb_intern_atom(c, 0, static_cast<std::uint16_t>(std::strlen(name)), name), nullptr);
    const xcb_atom_t a = reply ? reply->atom : static_cast<xcb_atom_t>(XCB_ATOM_NONE);
    std::free(reply);
    return a;
  };
  xcb_client_message_event_t event{};
  event.response_type = XCB_CLIENT_MESSAGE;
  event.format = 32;
  event.window = static_cast<xcb_window_t>(std::stoul(id));
  event.type = atom("WM_PROTOCOLS");
  event.data.data32[0] = atom("WM_DELETE_WINDOW");
  event.data.data32[1] = XCB_CURRENT_TIME;
  xcb_send_event(c, 0, event.window, XCB_EVENT_MASK_NO_EVENT,
                 reinterpret_cast<const char*>(&event));
  xcb_flush(c);
  xcb_disconnect(c);
}

bool Desktop::Screenshot(const std::string& id, const fs::path& png) const {
  Run("import -window " + id + " " + Quote(png.string()));
  return fs::exists(png) && fs::file_size(png) > 0;
}

std::string Desktop::TrayItem() {
  std::string item;
  WaitFor(
      [&] {
        const std::string log = ReadFile(dir_ / "watcher.log");
        const std::size_t at = log.find("item ");
        if (at == std::string::npos) return false;
        item = FirstLine(log.substr(at + 5));
        return true;
      },
      std::chrono::seconds(15));
  return item;
}

bool Desktop::Activate(const std::string& item) const {
  const std::string out =
      Run("gdbus call --session --dest " + Quote(item) +
          " --object-path /StatusNotifierItem --method org.kde.StatusNotifierItem.Activate 0 0");
  return out.find("()") != std::string::npos;
}

std::string Desktop::ItemProperty(const std::string& item, const std::string& name) const {
  return Run("gdbus call --session --dest " + Quote(item) +
             " --object-path /StatusNotifierItem --method "
             "org.freedesktop.DBus.Properties.Get org.kde.StatusNotifierItem " +
             name);
}

namespace {

// The object path of the icon's dbusmenu, from its Menu property; empty when it has none.
std::string MenuPath(const std::string& menu_property) {
  std::smatch m;
  return std::regex_search(menu_property, m, std::regex("objectpath '([^']+)'")) ? m[1].str()
                                                                                 : std::string();
}

}  // namespace

std::string Desktop::MenuLayout(const std::string& item) const {
  const std::string menu = MenuPath(ItemProperty(item, "Menu"));
  if (menu.empty()) return {};
  return Run("gdbus call --session --dest " + Quote(item) + " --object-path " + menu +
             " --method com.canonical.dbusmenu.GetLayout -- 0 -1 '[]'");
}

bool Desktop::MenuClick(const std::string& item, const std::string& label) const {
  const std::string menu = MenuPath(ItemProperty(item, "Menu"));
  const std::string layout = MenuLayout(item);
  std::smatch m;
  if (!std::regex_search(layout, m, std::regex("\\((\\d+), \\{[^}]*'label': <'" + label + "'>")))
    return false;
  const std::string out =
      Run("gdbus call --session --dest " + Quote(item) + " --object-path " + menu +
          " --method com.canonical.dbusmenu.Event -- " + m[1].str() + " clicked '<0>' 0");
  return out.find("()") != std::string::npos;
}

}  // namespace ostrel::acceptance
