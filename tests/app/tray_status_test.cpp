// The tray's state at a glance: which state the receiver's solution is, and an icon of
// its own for each, drawn for the size asked.
#include "app/tray_status.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QImage>
#include <QPixmap>
#include <cstring>
#include <set>
#include <utility>

#include "app/dbus_menu.h"
#include "gps/tgps.h"

namespace ostrel {
namespace {

TEST(TrayStatus, StateFollowsTheModuleAndItsSolution) {
  TGPS gps;
  gps.FixType = 3;
  EXPECT_EQ(TrayStateOf(false, gps), TrayState::kNoModule);
  struct Case {
    int32_t fix, dgps;
    TrayState state;
  };
  for (const Case& c :
       {Case{0, 0, TrayState::kNoFix}, Case{1, 0, TrayState::kNoFix}, Case{2, 2, TrayState::kFix2D},
        Case{3, 1, TrayState::kFix3D}, Case{3, 2, TrayState::kFix3DCorrected},
        Case{4, 0, TrayState::kFix3D}, Case{5, 0, TrayState::kNoFix}}) {
    SCOPED_TRACE(c.fix * 10 + c.dgps);
    gps.FixType = c.fix;
    gps.DGPSState = c.dgps;
    EXPECT_EQ(TrayStateOf(true, gps), c.state);
  }
  // The NMEA stream's GSA and GGA, when there, come before the binary solution.
  gps.FixType = 3;
  gps.DGPSState = 0;
  for (const auto& [sentences, state] :
       {std::pair{"$GPGSA,A,2,05,07,09,,,,,,,,,,2.5,1.3,2.1*3E\r\n", TrayState::kFix2D},
        std::pair{"$GPGSA,A,1,,,,,,,,,,,,,,,*1E\r\n", TrayState::kNoFix},
        std::pair{"$GPGSA,A,3,05,07,09,12,,,,,,,,,2.5,1.3,2.1*3C\r\n", TrayState::kFix3D},
        std::pair{"$GPGGA,031518.00,4907.56818,N,12242.61064,W,2,09,1.13,98.5,M,-16.7,M,,*5A\r\n$"
                  "GPGSA,A,3,05,07,09,12,,,,,,,,,2.5,1.3,2.1*3C\r\n",
                  TrayState::kFix3DCorrected}}) {
    SCOPED_TRACE(sentences);
    ASSERT_TRUE(gps.ParseNMEA(sentences, static_cast<int32_t>(std::strlen(sentences))));
    EXPECT_EQ(TrayStateOf(true, gps), state);
  }
}

TEST(TrayStatus, EachStateHasItsOwnIconAtEverySize) {
  const TrayState states[] = {TrayState::kNoModule, TrayState::kNoFix, TrayState::kFix2D,
                              TrayState::kFix3D, TrayState::kFix3DCorrected};
  for (int size : {16, 22, 32, 64, 256}) {
    SCOPED_TRACE(size);
    std::set<QByteArray> seen;
    std::set<std::string> words;
    for (TrayState state : states) {
      const QImage image = TrayStateIcon(state).pixmap(size, size).toImage();
      // Drawn for this size, not another size scaled.
      ASSERT_EQ(image.size(), QSize(size, size));
      const QImage argb = image.convertToFormat(QImage::Format_ARGB32);
      seen.emplace(reinterpret_cast<const char*>(argb.constBits()),
                   static_cast<qsizetype>(argb.sizeInBytes()));
      words.insert(TrayStateWords(state));
    }
    EXPECT_EQ(seen.size(), 5u);
    EXPECT_EQ(words.size(), 5u);
  }
}

// The tray draws the menu from what dbusmenu says of each entry: the mnemonic as '_',
// a check mark, and only the exceptions to enabled and visible.
TEST(TrayMenu, EntriesAreDescribedAsTheTrayDrawsThem) {
  EXPECT_EQ(DBusMenuExporter::Label(QStringLiteral("Receiver &Status")),
            QStringLiteral("Receiver _Status"));
  EXPECT_EQ(DBusMenuExporter::Label(QStringLiteral("Fix && go_on&")),
            QStringLiteral("Fix & go__on&"));
  QAction record(QStringLiteral("Record Track"));
  record.setCheckable(true);
  record.setChecked(true);
  record.setEnabled(false);
  const QVariantMap said = DBusMenuExporter::Properties(record);
  EXPECT_EQ(said.value(QStringLiteral("label")).toString(), QStringLiteral("Record Track"));
  EXPECT_EQ(said.value(QStringLiteral("toggle-type")).toString(), QStringLiteral("checkmark"));
  EXPECT_EQ(said.value(QStringLiteral("toggle-state")).toInt(), 1);
  EXPECT_EQ(said.value(QStringLiteral("enabled")), QVariant(false));
  EXPECT_FALSE(said.contains(QStringLiteral("visible")));
  QAction line;
  line.setSeparator(true);
  EXPECT_EQ(DBusMenuExporter::Properties(line).value(QStringLiteral("type")).toString(),
            QStringLiteral("separator"));
}

}  // namespace
}  // namespace ostrel
