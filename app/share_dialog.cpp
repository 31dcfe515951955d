#include "app/share_dialog.h"

#include <QDialog>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTableWidget>
#include <QTimer>
#include <QVBoxLayout>

#include "engine/share_hub.h"

namespace ostrel {

namespace {

constexpr int kRefreshInterval = 1000;

QString Describe(const ShareHub& hub) {
  const ShareSettings& s = hub.Settings();
  QStringList parts;
  QStringList ports;
  for (const std::string& name : hub.ExtraPortNames()) ports << QString::fromStdString(name);
  if (!ports.isEmpty())
    parts << QStringLiteral("Extra ports: %1").arg(ports.join(QStringLiteral(", ")));
  if (hub.ListeningPort() != 0)
    parts << QStringLiteral("TCP: %1:%2")
                 .arg(QString::fromStdString(s.tcp_address))
                 .arg(hub.ListeningPort());
  if (!s.sentences.empty())
    parts << QStringLiteral("Sentences: %1")
                 .arg(QString::fromStdString(JoinSentenceTypes(s.sentences)));
  parts << (s.writable ? QStringLiteral("Commands from them go to the module")
                       : QStringLiteral("Read-only: what they write is dropped"));
  parts << QStringLiteral("Log: %1").arg(QString::fromStdString(hub.CommandsLogPath()));
  return parts.join(QLatin1Char('\n'));
}

class ShareDialog final : public QDialog {
 public:
  ShareDialog(QWidget& parent, ShareHub& hub) : QDialog(&parent), hub_(hub) {
    setObjectName(QStringLiteral("ShareDialog"));
    setWindowTitle(QStringLiteral("Sharing the GPS data"));
    auto* layout = new QVBoxLayout(this);
    auto* about = new QLabel(Describe(hub_), this);
    about->setObjectName(QStringLiteral("ShareSummary"));
    layout->addWidget(about);
    table_ = new QTableWidget(0, 4, this);
    table_->setObjectName(QStringLiteral("ShareConsumers"));
    table_->setHorizontalHeaderLabels(
        {QStringLiteral("Port or client"), QStringLiteral("Bytes sent"),
         QStringLiteral("Sentences lost"), QStringLiteral("Commands")});
    table_->verticalHeader()->hide();
    table_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table_->horizontalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
    layout->addWidget(table_);
    resize(460, 280);
    auto* timer = new QTimer(this);
    timer->setInterval(kRefreshInterval);
    connect(timer, &QTimer::timeout, this, [this] { Refresh(); });
    timer->start();
    Refresh();
  }

  void Refresh() {
    const std::vector<ConsumerInfo> list = hub_.Consumers();
    table_->setRowCount(static_cast<int>(list.size()));
    for (int row = 0; row < table_->rowCount(); ++row) {
      const ConsumerInfo& c = list[static_cast<std::size_t>(row)];
      const QString cells[] = {QString::fromStdString(c.name), QString::number(c.sent_bytes),
                               QString::number(c.lost_messages), QString::number(c.commands)};
      for (int col = 0; col < 4; ++col) {
        QTableWidgetItem* item = table_->item(row, col);
        if (item == nullptr) table_->setItem(row, col, item = new QTableWidgetItem);
        item->setText(cells[col]);
      }
    }
  }

 private:
  ShareHub& hub_;
  QTableWidget* table_ = nullptr;
};

}  // namespace

void AddShareButton(QWidget& group, ShareHub* hub) {
  if (hub == nullptr) return;
  auto* button = new QPushButton(QStringLiteral("Sharing..."), &group);
  button->setObjectName(QStringLiteral("ShareButton"));
  button->setToolTip(QStringLiteral("The other ports and TCP clients that get the GPS data"));
  // Beside the port's name, over the empty right end of its line.
  button->setGeometry(224, 40, 89, 25);
  button->show();
  QObject::connect(button, &QPushButton::clicked, &group, [&group, hub] {
    auto* dialog = group.findChild<ShareDialog*>();
    if (dialog == nullptr) dialog = new ShareDialog(group, *hub);
    dialog->show();
    dialog->raise();
  });
}

}  // namespace ostrel
