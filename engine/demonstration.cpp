#include "engine/demonstration.h"

#include "receive/demo_source.h"

namespace ostrel {

void DemonstrationClick(DemonstrationView& view, DemoSource& source) {
  if (!view.DemonstrationChecked()) {
    std::optional<std::string> name = view.AskDemoFileName();
    if (!name) return;
    view.SetDemonstrationChecked(true);
    // An empty name starts nothing; the next use of the command only unchecks.
    source.DemoFileName = *name;
    view.SetProcessGPS(true);
  } else {
    view.SetDemonstrationChecked(false);
    source.DemoFileName.clear();
    source.Stop();
  }
  view.GPSButtonSetClick();
}

}  // namespace ostrel
