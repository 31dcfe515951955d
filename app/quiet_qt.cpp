#include "app/quiet_qt.h"

#include <QString>
#include <QtGlobal>
#include <cstring>

namespace ostrel {

namespace {

// The beginnings of the notes dropped.
constexpr const char* kNoise[] = {
    "QStandardPaths: XDG_RUNTIME_DIR not set",
    "QObject::connect: No such signal QPlatformNativeInterface::systemTrayWindowChanged",
    "This plugin does not support propagateSizeHints()",
};

QtMessageHandler g_next = nullptr;

void Filter(QtMsgType type, const QMessageLogContext& context, const QString& message) {
  if (type != QtFatalMsg && IsQtNoise(message.toUtf8().constData())) return;
  if (g_next != nullptr) g_next(type, context, message);
}

}  // namespace

bool IsQtNoise(const char* message) {
  for (const char* noise : kNoise)
    if (std::strncmp(message, noise, std::strlen(noise)) == 0) return true;
  return false;
}

void QuietQtNoise() {
  if (g_next != nullptr) return;
  g_next = qInstallMessageHandler(Filter);
}

}  // namespace ostrel
