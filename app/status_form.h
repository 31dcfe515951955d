#pragma once
// TStatusForm: the "Receiver Status" window, a view of the receiver's health model
// (engine/receiver_health.h). Satellites in view with their signals, the fix, the time to
// first fix with the restart buttons, the accuracy scatter and the receiver's time.
// Hold freezes every figure so that it can be read; each figure has an accessible name.
// Its size and place are kept in the settings file's [StatusWindow] section.
#include <QWidget>
#include <functional>
#include <map>
#include <string>

#include "engine/position_accuracy.h"
#include "engine/receiver_health.h"

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTimer;

namespace ostrel {

class PanelEngine;

// A picture the window draws with QPainter in device pixels (status_draw.h).
class StatusPicture final : public QWidget {
 public:
  using Draw = std::function<void(QPainter&, QSize, double)>;
  StatusPicture(Draw draw, QSize minimum, QWidget* parent);

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  Draw draw_;
};

class TStatusForm final : public QWidget {
 public:
  TStatusForm(ReceiverHealth& health, PanelEngine& engine, std::string settings_path);
  ~TStatusForm() override;

  // Takes the model's figures and shows them, unless held.
  void Refresh();
  bool Held() const;
  // The figures as shown, by their accessible names, for tests and screen readers.
  QString Figure(const QString& accessible_name) const;
  const HealthState& ShownState() const { return state_; }
  const AccuracyFigures& ShownFigures() const { return figures_; }

 protected:
  void showEvent(QShowEvent* event) override;
  void hideEvent(QHideEvent* event) override;

 private:
  QWidget* BuildSatellites();
  QWidget* BuildFix();
  QWidget* BuildTimeToFix();
  QWidget* BuildAccuracy();
  QWidget* BuildTime();
  QLabel* AddFigure(QWidget* box, const QString& name);
  void SetFigure(const QString& name, const QString& text);
  void ShowState();
  void ShowFigures();
  void TakeReference();
  void Restart(ubx::RestartKind kind);
  void RestoreGeometry();
  void SaveGeometry();

  ReceiverHealth& health_;
  PanelEngine& engine_;
  std::string settings_path_;
  HealthState state_;
  AccuracyFigures figures_;
  Millis figures_at_ = -1;
  std::map<QString, QLabel*> figures_by_name_;
  StatusPicture* chart_ = nullptr;
  StatusPicture* scatter_ = nullptr;
  QComboBox* window_minutes_ = nullptr;
  QLineEdit* reference_ = nullptr;
  QPushButton* hold_ = nullptr;
  QTimer* refresh_ = nullptr;
};

}  // namespace ostrel
