#include "app_test_support.h"

#include <QApplication>
#include <QInputDialog>
#include <QMessageBox>
#include <QPushButton>

namespace ostrel::test {

ModalAnswerer::ModalAnswerer() {
  timer_.setInterval(20);
  connect(&timer_, &QTimer::timeout, this, [this] { Poll(); });
  timer_.start();
}

ModalAnswerer::Answer ModalAnswerer::Click(int standard_button) {
  return [standard_button](QWidget* w) {
    auto* box = qobject_cast<QMessageBox*>(w);
    if (box && box->button(static_cast<QMessageBox::StandardButton>(standard_button)))
      box->button(static_cast<QMessageBox::StandardButton>(standard_button))->click();
    else if (auto* dialog = qobject_cast<QDialog*>(w))
      dialog->reject();
  };
}

ModalAnswerer::Answer ModalAnswerer::Enter(const QString& text) {
  return [text](QWidget* w) {
    auto* input = qobject_cast<QInputDialog*>(w);
    if (input) {
      input->setTextValue(text);
      input->accept();
    } else if (auto* dialog = qobject_cast<QDialog*>(w)) {
      dialog->reject();
    }
  };
}

void ModalAnswerer::Poll() {
  QWidget* w = QApplication::activeModalWidget();
  if (w == nullptr || !w->isVisible()) return;
  SeenBox seen;
  seen.caption = w->windowTitle();
  if (auto* box = qobject_cast<QMessageBox*>(w)) {
    seen.text = box->text();
  } else if (auto* input = qobject_cast<QInputDialog*>(w)) {
    seen.text = input->labelText();
    seen.initial = input->textValue();
  }
  seen_.push_back(seen);
  if (!answers_.empty()) {
    Answer answer = std::move(answers_.front());
    answers_.pop_front();
    answer(w);
    return;
  }
  if (auto* box = qobject_cast<QMessageBox*>(w); box && box->defaultButton()) {
    box->defaultButton()->click();
  } else if (auto* dialog = qobject_cast<QDialog*>(w)) {
    dialog->reject();
  }
}

}  // namespace ostrel::test
