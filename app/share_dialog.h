#pragma once
// The consumers of [Share] in the window: a "Sharing..." button in the GPS Data Port group,
// there only when the settings serve extra ports or TCP clients, and the small list it
// opens (name or address, bytes sent, sentences lost, commands written), kept current
// while it is open.
class QWidget;

namespace ostrel {

class ShareHub;

// Adds the button to `group` when `hub` is not null; the dialog belongs to `group`.
void AddShareButton(QWidget& group, ShareHub* hub);

}  // namespace ostrel
