#pragma once
// The caption the window system shows for a top-level window, exactly as given. Qt on
// X11 never lets a caption be empty (it puts the program's name there), and with an
// application display name it appends that to every caption.
class QString;
class QWindow;

namespace ostrel {

// Sets the window's title and, on X11, writes `caption` into the window's name
// properties as it is, the empty caption included. Creates the native window.
void SetExactCaption(QWindow& window, const QString& caption);

}  // namespace ostrel
