#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <semaphore.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <iostream>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "common/test_util.h"
#include "istd/exception.h"
#include "istd/process.h"
#include "istd/signal_handler.h"
#include "trace_fixture.h"

using ::testing::HasSubstr;
using ::testing::IsSupersetOf;

// Every test installs the signal thread in a forked child: the instance is
// once per process, and the signals must not reach the test runner.
namespace {

using Clock = std::chrono::steady_clock;
using SignalHandlerTest = TraceFixture;

std::atomic<int> g_previousCalls{0};
std::atomic<int> g_previousTid{0};
void PreviousHandler(int) {
  ++g_previousCalls;
  g_previousTid = static_cast<int>(::syscall(SYS_gettid));
}

// Records the signals it is given and the thread they arrive on. A signal
// listed as `holdOn` keeps the signal thread busy until Release(); one
// listed as `throwOn` makes HandleSignal throw.
class Recorder : public istd::SignalHandler {
 public:
  explicit Recorder(int holdOn = 0, int throwOn = 0) : m_holdOn(holdOn), m_throwOn(throwOn) {}

  void HandleSignal(int signalNumber) override {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_signals.push_back(signalNumber);
    m_tids.push_back(istd::GetTid());
    m_previousCalls.push_back(g_previousCalls);
    m_cv.notify_all();
    if (signalNumber == m_holdOn) m_cv.wait(lock, [this] { return m_released; });
    if (signalNumber == m_throwOn) throw std::runtime_error("handler refused");
  }

  void Release() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_released = true;
    m_cv.notify_all();
  }

  // Waits (at most 2 s) until `count` signals were handled; returns them.
  std::vector<int> WaitFor(size_t count) {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_cv.wait_for(lock, std::chrono::seconds(2), [&] { return m_signals.size() >= count; });
    return m_signals;
  }

  // True when every signal was handled on one thread other than `tid`.
  bool OnOneThreadOtherThan(int tid) {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (int t : m_tids) {
      if (t == tid || t != m_tids.front()) return false;
    }
    return !m_tids.empty();
  }

 private:
  std::mutex m_mutex;
  std::condition_variable m_cv;
  std::vector<int> m_signals;
  std::vector<int> m_tids;
  bool m_released = false;

 public:
  // g_previousCalls as each signal was handled.
  std::vector<int> m_previousCalls;
  int FirstTid() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_tids.empty() ? 0 : m_tids.front();
  }

 private:
  const int m_holdOn;
  const int m_throwOn;
};

std::string Joined(const std::vector<int>& numbers) {
  std::string text;
  for (int n : numbers) text += (text.empty() ? "" : ",") + std::to_string(n);
  return text;
}

// Waits (at most 2 s) until the semaphore counts `value` posts.
void WaitForPosts(int value) {
  const auto until = Clock::now() + std::chrono::seconds(2);
  int current = 0;
  while (::sem_getvalue(&istd::g_semSignal, &current) == 0 && current < value &&
         Clock::now() < until) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

TEST_F(SignalHandlerTest, TwoDifferentSignalsBackToBackAreBothHandledOnTheSignalThread) {
  const testutil::ChildResult child = testutil::RunInChild([] {
    static Recorder recorder(/*holdOn=*/SIGQUIT);
    istd::SignalHandlerThread::InstallHandler(recorder, nullptr);
    ::kill(::getpid(), SIGQUIT);
    recorder.WaitFor(1);  // the signal thread is now held in HandleSignal
    ::kill(::getpid(), SIGHUP);
    ::kill(::getpid(), SIGTERM);
    WaitForPosts(2);  // both caught before the thread reads either
    recorder.Release();
    std::cout << "handled=" << Joined(recorder.WaitFor(3))
              << " signal-thread=" << recorder.OnOneThreadOtherThan(istd::GetTid()) << std::endl;
    // The default dispositions come back with the stop: SIGTERM now ends
    // the process.
    istd::SignalHandlerThread::InstallHandler(recorder, nullptr)->Stop();
    std::cout << "stopped" << std::endl;
    ::kill(::getpid(), SIGTERM);
    std::this_thread::sleep_for(std::chrono::seconds(2));
    std::cout << "survived SIGTERM" << std::endl;
  });
  EXPECT_THAT(child.output, HasSubstr("handled=3,1,15 signal-thread=1\nstopped\n"));
  EXPECT_EQ(child.exitCode, -1) << child.output;
}

TEST_F(SignalHandlerTest, PreviousHandlerRunsFirstAndFailuresOfTheHandlerAreDropped) {
  StartTrace(istd::eHigh);
  const testutil::ChildResult child = testutil::RunInChild([] {
    ::signal(SIGUSR1, PreviousHandler);
    static Recorder recorder(/*holdOn=*/0, /*throwOn=*/SIGUSR2);
    const int signals[] = {SIGUSR1, SIGUSR2, SIGUSR1, 0};  // SIGUSR1 listed twice
    istd::SignalHandlerThread* thread = istd::SignalHandlerThread::InstallHandler(recorder, signals);
    std::cout << "same instance="
              << (istd::SignalHandlerThread::InstallHandler(recorder, nullptr) == thread)
              << std::endl;
    ::kill(::getpid(), SIGUSR2);
    recorder.WaitFor(1);
    ::kill(::getpid(), SIGUSR1);
    std::cout << "handled=" << Joined(recorder.WaitFor(2))
              << " previous before each=" << Joined(recorder.m_previousCalls)
              << " on signal thread=" << recorder.OnOneThreadOtherThan(istd::GetTid())
              << (g_previousTid == recorder.FirstTid()) << std::endl;
    thread->Stop();
    // Back to the previous handler: called directly, the recorder is not.
    ::kill(::getpid(), SIGUSR1);
    const auto until = Clock::now() + std::chrono::seconds(2);
    while (g_previousCalls < 2 && Clock::now() < until) std::this_thread::yield();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    std::cout << "after stop: previous=" << g_previousCalls
              << " handled=" << Joined(recorder.WaitFor(0)) << std::endl;
  });
  EXPECT_EQ(child.exitCode, 0);
  EXPECT_THAT(child.output, HasSubstr("same instance=1\n"));
  EXPECT_THAT(child.output, HasSubstr("handled=12,10 previous before each=0,1 on signal thread=11\n"));
  EXPECT_THAT(child.output, HasSubstr("after stop: previous=2 handled=12,10\n"));
  EXPECT_THAT(TraceMessages(),
              IsSupersetOf({"Posix signal handling thread started.",
                            "Waiting for semaphore from handler function.", "Semaphore triggered.",
                            "WARNING: Ignored std::exception: handler refused",
                            "Calling previous signal handler.", "Got signal to stop signal thread."}));
}

TEST_F(SignalHandlerTest, SignalThatCannotBeHandledThrowsAndUndoesTheInstallation) {
  const testutil::ChildResult child = testutil::RunInChild([] {
    Recorder recorder;
    const int signals[] = {SIGUSR1, SIGKILL, 0};
    try {
      istd::SignalHandlerThread::InstallHandler(recorder, signals);
    } catch (const istd::Exception& e) {
      std::cout << e.what() << std::endl;
    }
    struct sigaction current;
    ::sigaction(SIGUSR1, nullptr, &current);
    std::cout << "SIGUSR1 default=" << (current.sa_handler == SIG_DFL) << std::endl;
  });
  EXPECT_EQ(child.exitCode, 0);
  EXPECT_EQ(child.output, "Can't install handler for 9\nSIGUSR1 default=1\n");
}

}  // namespace
