#pragma once
// The end of a session on Linux is a signal (SIGTERM from the session or systemd,
// SIGHUP from a closing terminal, SIGINT from Ctrl-C). Each ends the event loop, so the
// window is destroyed in order and the GPS Data port link is removed, as when the
// system closes the window on shutdown.
namespace ostrel {

// Installs the handlers; call once, after the QApplication exists and before the window
// is made: start-up may already wait in a modal box, and a signal must end that too.
void QuitOnSessionEnd();

// A session's end has been signalled; the program must not enter its event loop (again).
bool SessionEnded();

}  // namespace ostrel
