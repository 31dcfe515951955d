#include "app/instance_channel.h"

#include <QLocalServer>
#include <QLocalSocket>

namespace ostrel {

namespace {

constexpr char kShow[] = "show\n";
constexpr int kWaitMs = 1000;

}  // namespace

std::string ChannelPath(const std::string& dir) { return dir + "/ostrel-panel.socket"; }

ShowRequests::ShowRequests(const std::string& dir, std::function<void()> show, QObject* parent)
    : QObject(parent), server_(new QLocalServer(this)), show_(std::move(show)) {
  if (dir.empty()) return;
  const QString path = QString::fromStdString(ChannelPath(dir));
  QLocalServer::removeServer(path);
  server_->setSocketOptions(QLocalServer::UserAccessOption);
  if (!server_->listen(path)) return;
  connect(server_, &QLocalServer::newConnection, this, [this] {
    while (QLocalSocket* client = server_->nextPendingConnection()) {
      connect(client, &QLocalSocket::disconnected, client, &QObject::deleteLater);
      connect(client, &QLocalSocket::readyRead, this, [this, client] {
        // A line per request; anything else on the socket is not ours to act on.
        while (client->canReadLine())
          if (client->readLine() == kShow) show_();
      });
    }
  });
}

bool ShowRequests::Listening() const { return server_->isListening(); }

bool AskRunningPanelToShow(const std::string& dir) {
  if (dir.empty()) return false;
  QLocalSocket socket;
  socket.connectToServer(QString::fromStdString(ChannelPath(dir)));
  if (!socket.waitForConnected(kWaitMs)) return false;
  socket.write(kShow, sizeof kShow - 1);
  const bool sent = socket.waitForBytesWritten(kWaitMs);
  socket.disconnectFromServer();
  return sent;
}

}  // namespace ostrel
