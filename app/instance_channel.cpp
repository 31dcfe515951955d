#include "app/instance_channel.h"

#include <QLocalServer>
#include <QLocalSocket>
#include <QRegularExpression>

namespace ostrel {

namespace {

constexpr char kShow[] = "show";
constexpr int kWaitMs = 1000;
// A request is one short line; a peer that sends more without a line end is cut off.
constexpr qint64 kMaxLine = 512;

// What a desktop hands a started program as its activation token: printable, short.
bool PlausibleToken(const QString& token) {
  static const QRegularExpression kToken(QStringLiteral("^[A-Za-z0-9._:+/=-]{1,256}$"));
  return kToken.match(token).hasMatch();
}

}  // namespace

std::string ChannelPath(const std::string& dir) { return dir + "/ostrel-panel.socket"; }

ShowRequests::ShowRequests(const std::string& dir, std::function<void(const std::string&)> show,
                           QObject* parent)
    : QObject(parent), server_(new QLocalServer(this)), show_(std::move(show)) {
  if (dir.empty()) return;
  const QString path = QString::fromStdString(ChannelPath(dir));
  QLocalServer::removeServer(path);
  server_->setSocketOptions(QLocalServer::UserAccessOption);
  if (!server_->listen(path)) return;
  connect(server_, &QLocalServer::newConnection, this, [this] {
    while (QLocalSocket* client = server_->nextPendingConnection()) {
      connect(client, &QLocalSocket::disconnected, client, &QObject::deleteLater);
      connect(client, &QLocalSocket::readyRead, this, [this, client] { Read(*client); });
    }
  });
}

void ShowRequests::Read(QLocalSocket& client) {
  // A line per request; anything else on the socket is not ours to act on.
  while (client.canReadLine()) {
    const QStringList words =
        QString::fromLatin1(client.readLine(kMaxLine + 1)).trimmed().split(QLatin1Char(' '));
    if (words.isEmpty() || words.size() > 2 || words[0] != QLatin1String(kShow)) continue;
    const QString token = words.size() == 2 ? words[1] : QString();
    show_(PlausibleToken(token) ? token.toStdString() : std::string());
  }
  if (client.bytesAvailable() > kMaxLine) client.abort();
}

bool ShowRequests::Listening() const { return server_->isListening(); }

bool AskRunningPanelToShow(const std::string& dir, const std::string& token) {
  if (dir.empty()) return false;
  QLocalSocket socket;
  socket.connectToServer(QString::fromStdString(ChannelPath(dir)));
  if (!socket.waitForConnected(kWaitMs)) return false;
  std::string line = kShow;
  if (PlausibleToken(QString::fromStdString(token))) line += " " + token;
  line += "\n";
  socket.write(line.data(), static_cast<qint64>(line.size()));
  const bool sent = socket.waitForBytesWritten(kWaitMs);
  socket.disconnectFromServer();
  return sent;
}

}  // namespace ostrel
