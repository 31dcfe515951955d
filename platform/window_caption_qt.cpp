#include "platform/window_caption_qt.h"

#include <xcb/xcb.h>

#include <QByteArray>
#include <QGuiApplication>
#include <QString>
#include <QWindow>
#include <cstdint>
#include <cstdlib>

namespace ostrel {

namespace {

xcb_atom_t Atom(xcb_connection_t* connection, const char* name) {
  const xcb_intern_atom_cookie_t cookie =
      xcb_intern_atom(connection, 0, static_cast<std::uint16_t>(qstrlen(name)), name);
  xcb_intern_atom_reply_t* reply = xcb_intern_atom_reply(connection, cookie, nullptr);
  if (reply == nullptr) return XCB_ATOM_NONE;
  const xcb_atom_t atom = reply->atom;
  std::free(reply);
  return atom;
}

}  // namespace

void SetExactCaption(QWindow& window, const QString& caption) {
  window.setTitle(caption);
  window.create();
  auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
  if (x11 == nullptr || x11->connection() == nullptr) return;
  xcb_connection_t* connection = x11->connection();
  const auto id = static_cast<xcb_window_t>(window.winId());
  const QByteArray utf8 = caption.toUtf8();
  const QByteArray latin1 = caption.toLatin1();
  const xcb_atom_t utf8_string = Atom(connection, "UTF8_STRING");
  xcb_change_property(connection, XCB_PROP_MODE_REPLACE, id, Atom(connection, "_NET_WM_NAME"),
                      utf8_string, 8, static_cast<std::uint32_t>(utf8.size()), utf8.constData());
  xcb_change_property(connection, XCB_PROP_MODE_REPLACE, id, XCB_ATOM_WM_NAME, XCB_ATOM_STRING, 8,
                      static_cast<std::uint32_t>(latin1.size()), latin1.constData());
  xcb_flush(connection);
}

}  // namespace ostrel
