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

using SignalHandlerTest = TraceFixture;

std::atomic<int> g_previousCalls{0};
std::atomic<int> g_previousTid{0};
void PreviousHandler(int) {
  ++g_previousCalls;
  g_previousTid = static_cast<int>(::syscall(SYS_gettid));
}

// Records each signal as number + "+" + g_previousCalls at that moment, and
// the thread of the first one. Holds the signal thread on SIGQUIT until
// Release(); throws on SIGUSR2.
class Recorder : public istd::SignalHandler {
 public:
  void HandleSignal(int signalNumber) override {
    std::unique_lock<std::mutex> lock(m_mutex);
    if (m_tid == 0) m_tid = istd::GetTid();
    m_text += (m_text.empty() ? "" : ",") + std::to_string(signalNumber) + "+" +
              std::to_string(g_previousCalls) + (istd::GetTid() != m_tid ? "@other thread" : "");
    ++m_count;
    m_cv.notify_all();
    if (signalNumber == SIGQUIT) m_cv.wait(lock, [this] { return m_released; });
    if (signalNumber == SIGUSR2) throw std::runtime_error("handler refused");
  }
  void Release() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_released = true;
    m_cv.notify_all();
  }
  // Waits (at most 2 s) for `count` signals; returns the record.
  std::string WaitFor(int count) {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_cv.wait_for(lock, std::chrono::seconds(2), [&] { return m_count >= count; });
    return m_text;
  }
  int Tid() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_tid;
  }

 private:
  std::mutex m_mutex;
  std::condition_variable m_cv;
  std::string m_text;
  int m_count = 0, m_tid = 0;
  bool m_released = false;
};

TEST_F(SignalHandlerTest, TwoDifferentSignalsBackToBackAreBothHandledOnTheSignalThread) {
  const testutil::ChildResult child = testutil::RunInChild([] {
    static Recorder recorder;
    istd::SignalHandlerThread::InstallHandler(recorder, nullptr);
    ::kill(::getpid(), SIGQUIT);
    recorder.WaitFor(1);  // the signal thread is held in HandleSignal now
    ::kill(::getpid(), SIGHUP);
    ::kill(::getpid(), SIGTERM);
    int posts = 0;  // both caught before the thread reads either
    for (int i = 0; i < 2000 && ::sem_getvalue(&istd::g_semSignal, &posts) == 0 && posts < 2; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    recorder.Release();
    std::cout << "handled=" << recorder.WaitFor(3)
              << " off main thread=" << (recorder.Tid() != istd::GetTid()) << std::endl;
    // Stopping puts the default dispositions back: SIGTERM now ends us.
    istd::SignalHandlerThread::InstallHandler(recorder, nullptr)->Stop();
    std::cout << "stopped" << std::endl;
    ::kill(::getpid(), SIGTERM);
    std::this_thread::sleep_for(std::chrono::seconds(2));
  });
  EXPECT_THAT(child.output, HasSubstr("handled=3+0,1+0,15+0 off main thread=1\nstopped\n"));
  EXPECT_EQ(child.exitCode, -1) << "not ended by SIGTERM after the stop";
}

TEST_F(SignalHandlerTest, PreviousHandlerRunsFirstAndFailuresOfTheHandlerAreDropped) {
  StartTrace(istd::eHigh);
  const testutil::ChildResult child = testutil::RunInChild([] {
    ::signal(SIGUSR1, PreviousHandler);
    static Recorder recorder;
    const int signals[] = {SIGUSR1, SIGUSR2, SIGUSR1, 0};  // SIGUSR1 listed twice
    istd::SignalHandlerThread* thread =
        istd::SignalHandlerThread::InstallHandler(recorder, signals);
    std::cout << "same="
              << (istd::SignalHandlerThread::InstallHandler(recorder, nullptr) == thread);
    ::kill(::getpid(), SIGUSR2);
    recorder.WaitFor(1);
    ::kill(::getpid(), SIGUSR1);
    std::cout << " handled=" << recorder.WaitFor(2)
              << " previous on signal thread=" << (g_previousTid == recorder.Tid());
    thread->Stop();
    // The previous handler is back: called directly, the recorder is not.
    ::kill(::getpid(), SIGUSR1);
    for (int i = 0; i < 2000 && g_previousCalls < 2; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    std::cout << " after stop: previous=" << g_previousCalls << " handled=" << recorder.WaitFor(0)
              << std::endl;
  });
  EXPECT_EQ(child.exitCode, 0);
  EXPECT_EQ(child.output,
            "same=1 handled=12+0,10+1 previous on signal thread=1"
            " after stop: previous=2 handled=12+0,10+1\n");
  EXPECT_THAT(
      TraceMessages(),
      IsSupersetOf({"Posix signal handling thread started.",
                    "Waiting for semaphore from handler function.", "Semaphore triggered.",
                    "WARNING: Ignored std::exception: handler refused",
                    "Calling previous signal handler.", "Got signal to stop signal thread."}));
}

// The listed signals never interrupt the installing thread or a thread it
// starts later: they block them, and the receiver takes them in thread
// context. A stop on the installing thread unblocks them there again.
TEST_F(SignalHandlerTest, LaterThreadsBlockTheSignalsAndTheStopUnblocksTheInstaller) {
  const testutil::ChildResult child = testutil::RunInChild([] {
    auto blocked = [] {
      sigset_t mask;
      ::pthread_sigmask(SIG_BLOCK, nullptr, &mask);
      return ::sigismember(&mask, SIGUSR1) == 1;
    };
    static Recorder recorder;
    const int signals[] = {SIGUSR1, 0};
    istd::SignalHandlerThread* thread =
        istd::SignalHandlerThread::InstallHandler(recorder, signals);
    bool later = false;
    std::thread([&] { later = blocked(); }).join();
    ::kill(::getpid(), SIGUSR1);
    std::cout << "installer=" << blocked() << " later=" << later
              << " handled=" << recorder.WaitFor(1)
              << " off installer=" << (recorder.Tid() != istd::GetTid());
    thread->Stop();
    std::cout << " after stop=" << blocked() << std::endl;
  });
  EXPECT_EQ(child.exitCode, 0);
  EXPECT_EQ(child.output, "installer=1 later=1 handled=10+0 off installer=1 after stop=0\n");
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
