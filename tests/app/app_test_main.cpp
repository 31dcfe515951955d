// The window's tests run on Qt's offscreen platform. A watchdog ends the run when one
// test takes longer than kDeadline: a modal box nobody answers must fail the test, not
// hang it.
#include <gtest/gtest.h>

#include <QApplication>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

namespace {

constexpr auto kDeadline = std::chrono::seconds(30);

class Watchdog : public testing::EmptyTestEventListener {
 public:
  Watchdog() : thread_([this] { Run(); }) {}
  ~Watchdog() override {
    stop_ = true;
    thread_.join();
  }

  void OnTestStart(const testing::TestInfo& info) override {
    std::lock_guard lock(mu_);
    name_ = std::string(info.test_suite_name()) + "." + info.name();
    deadline_ = std::chrono::steady_clock::now() + kDeadline;
    armed_ = true;
  }
  void OnTestEnd(const testing::TestInfo&) override {
    std::lock_guard lock(mu_);
    armed_ = false;
  }

 private:
  void Run() {
    while (!stop_) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      std::lock_guard lock(mu_);
      if (armed_ && std::chrono::steady_clock::now() > deadline_) {
        std::fprintf(stderr, "watchdog: %s did not end within %lld s\n", name_.c_str(),
                     static_cast<long long>(kDeadline.count()));
        std::fflush(stderr);
        std::abort();
      }
    }
  }

  std::atomic<bool> stop_{false};
  std::mutex mu_;
  std::string name_;
  std::chrono::steady_clock::time_point deadline_{};
  bool armed_ = false;
  std::thread thread_;
};

}  // namespace

int main(int argc, char** argv) {
  if (!std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
  QApplication app(argc, argv);
  QApplication::setQuitOnLastWindowClosed(false);
  testing::InitGoogleTest(&argc, argv);
  testing::UnitTest::GetInstance()->listeners().Append(new Watchdog);
  return RUN_ALL_TESTS();
}
