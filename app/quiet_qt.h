#pragma once
// Qt's own notes that a user of the panel cannot act on (the runtime directory Qt falls
// back to, what the offscreen platform cannot do) are kept off stderr;
// everything else Qt says goes out as before.
namespace ostrel {

// Installs the filter in front of the current message handler; before QApplication.
void QuietQtNoise();

// Whether `message` is one of those notes.
bool IsQtNoise(const char* message);

}  // namespace ostrel
