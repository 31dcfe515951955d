#pragma once
// The end of a session on Linux is a signal (SIGTERM from the session or systemd,
// SIGHUP from a closing terminal, SIGINT from Ctrl-C). Each ends the event loop, so the
// window is destroyed in order and the GPS Data port link is removed, as when the
// system closes the window on shutdown.
namespace ostrel {

// Installs the handlers; call once, after the QApplication exists.
void QuitOnSessionEnd();

}  // namespace ostrel
