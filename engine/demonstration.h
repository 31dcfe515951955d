#pragma once
// File > Demonstration: replays a text file of NMEA sentences instead of the module.
// The menu item's check mark says whether the command last started one; the receive
// cycle looks only at the source's DemoFileName.
#include <optional>
#include <string>

namespace ostrel {

class DemoSource;

inline constexpr const char* kDemoCaption = "Demonstration File";
inline constexpr const char* kDemoPrompt = "Enter name of file containing the NMEA packets";
inline constexpr const char* kDemoDefaultFile = "nmea.txt";

class DemonstrationView {
 public:
  virtual ~DemonstrationView() = default;
  virtual bool DemonstrationChecked() const = 0;
  virtual void SetDemonstrationChecked(bool checked) = 0;
  // The input box; nothing when the user cancels. A relative name comes back in the
  // panel's folder.
  virtual std::optional<std::string> AskDemoFileName() = 0;
  virtual void SetProcessGPS(bool checked) = 0;
  virtual void GPSButtonSetClick() = 0;
};

// Starts or stops, by the check mark. A file that cannot be opened is not reported:
// the demonstration then shows "Demonstration!" and nothing else.
void DemonstrationClick(DemonstrationView& view, DemoSource& source);

}  // namespace ostrel
