// The channel a second copy asks the running panel to show its window on: real local
// sockets in a folder of the test's own.
#include "app/instance_channel.h"

#include <gtest/gtest.h>

#include <QLocalSocket>
#include <string>
#include <vector>

#include "app_test_support.h"
#include "support/temp_dir.h"

namespace ostrel {
namespace {

TEST(InstanceChannel, ShowRequestsArriveWithAPlausibleTokenOnly) {
  test::TempDir dir;
  std::vector<std::string> shown;
  ShowRequests requests(dir.Path().string(),
                        [&](const std::string& token) { shown.push_back(token); });
  ASSERT_TRUE(requests.Listening());

  EXPECT_TRUE(AskRunningPanelToShow(dir.Path().string()));
  EXPECT_TRUE(AskRunningPanelToShow(dir.Path().string(), "0f3a_kwin-77:1"));
  // A token that is no token is dropped; the request still counts.
  EXPECT_TRUE(AskRunningPanelToShow(dir.Path().string(), "two words\n"));
  ASSERT_TRUE(test::WaitFor([&] { return shown.size() == 3; }, 5000));
  EXPECT_EQ(shown, (std::vector<std::string>{"", "0f3a_kwin-77:1", ""}));

  // What is not a request does nothing, and an endless line is cut off.
  QLocalSocket peer;
  peer.connectToServer(QString::fromStdString(ChannelPath(dir.Path().string())));
  ASSERT_TRUE(peer.waitForConnected(1000));
  peer.write("hide\nshow a b\n");
  peer.write(QByteArray(4096, 'x'));
  ASSERT_TRUE(peer.waitForBytesWritten(1000));
  EXPECT_TRUE(test::WaitFor([&] { return peer.state() == QLocalSocket::UnconnectedState; }, 5000));
  EXPECT_EQ(shown.size(), 3u);
}

TEST(InstanceChannel, NobodyListeningIsAnAnswerToo) {
  test::TempDir dir;
  EXPECT_FALSE(AskRunningPanelToShow(dir.Path().string()));
  EXPECT_FALSE(AskRunningPanelToShow(""));
}

}  // namespace
}  // namespace ostrel
