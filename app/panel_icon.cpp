#include "app/panel_icon.h"

#include <QImageReader>

// The resources live in a static library where nothing references them, so they are
// brought in by name before the first use.
static void InitPanelResources() { Q_INIT_RESOURCE(ostrel_panel); }

namespace ostrel {

QIcon PanelIcon() {
  static const bool loaded = (InitPanelResources(), true);
  (void)loaded;
  // The drawing where Qt has its SVG reader, the 64-pixel picture of it everywhere else.
  if (QImageReader::supportedImageFormats().contains("svg"))
    return QIcon(QStringLiteral(":/icons/ostrel-panel.svg"));
  return QIcon(QStringLiteral(":/icons/ostrel-panel.png"));
}

}  // namespace ostrel
