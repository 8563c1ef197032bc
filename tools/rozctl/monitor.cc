// rozctl monitor: subscribes nodes with one roz::NotificationClient and
// prints one line per notification ("path timestamp value", followed by
// " at P" when the value holds array elements from position P on) until COUNT
// notifications, the time-out or an interrupt. The main thread meanwhile
// pings the registry once a second: when the server goes away it says so on
// standard error, keeps pinging, and once the proxy is reconnected (which
// subscribes its paths again) says that as well and goes on.
//
// Threads: the callbacks run on the client's dispatcher thread and write
// standard output under m_mutex; the main thread writes only to standard
// error.
#include <sys/time.h>
#include <time.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <iostream>
#include <mutex>

#include "commands.h"
#include "values.h"

namespace rozctl {

namespace {

// Local time of now with milliseconds: 2026-12-08T06:30:01.123.
std::string Timestamp() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  const long ms = static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000);
  std::tm local{};
  ::localtime_r(&seconds, &local);
  char text[48];
  const size_t n = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &local);
  std::snprintf(text + n, sizeof text - n, ".%03ld", ms);
  return text;
}

// The lines and the count, shared by the callbacks and the main thread.
struct Progress {
  std::mutex mutex;
  std::condition_variable changed;  // a notification, or an interrupt
  unsigned int seen = 0;
  unsigned int wanted = 0;  // 0: no limit
  bool interrupted = false;

  bool Done() const { return interrupted || (wanted != 0 && seen >= wanted); }
};

}  // namespace

int RunMonitor(Session& session, const MonitorOptions& options) {
  Progress progress;
  progress.wanted = options.count;
  // The hook refers to `progress`: it goes before `progress` does.
  struct HookGuard {
    Session& session;
    ~HookGuard() { session.OnInterrupt({}); }
  } guard{session};
  session.OnInterrupt([&progress] {
    std::lock_guard<std::mutex> lock(progress.mutex);
    progress.interrupted = true;
    progress.changed.notify_all();
  });

  std::vector<roz::Node> nodes;
  for (const std::string& path : options.paths) nodes.push_back(session.Resolve(path));

  int status = 0;
  {
    roz::NotificationClient client;
    for (size_t i = 0; i < nodes.size(); ++i) {
      const std::string path = options.paths[i];
      const roz::Callback callback([&progress, path](const roz::NotificationData& record) {
        std::string text;
        try {
          text = ValueText(record.data);
        } catch (const std::exception&) {
          text = "(no value)";
        }
        // A write into the middle of an array notifies the written elements
        // only: say where they start.
        if (record.pos != 0) text += " at " + std::to_string(record.pos);
        std::lock_guard<std::mutex> lock(progress.mutex);
        if (progress.Done()) return;
        ++progress.seen;
        std::cout << path << " " << Timestamp() << " " << text << std::endl;
        progress.changed.notify_all();
      });
      if (!client.Register(nodes[i], callback)) {
        throw Failure("cannot subscribe " + path + " at " + session.Where());
      }
    }

    using Clock = std::chrono::steady_clock;
    const bool limited = options.timeoutS > 0;
    const Clock::time_point deadline =
        Clock::now() + std::chrono::milliseconds(static_cast<long long>(options.timeoutS * 1000));
    ConnectionWatch watch(session, "subscriptions restored");
    bool timedOut = false;
    for (;;) {
      {
        std::unique_lock<std::mutex> lock(progress.mutex);
        Clock::time_point until = Clock::now() + std::chrono::seconds(1);
        if (limited && deadline < until) until = deadline;
        progress.changed.wait_until(lock, until, [&] { return progress.Done(); });
        if (progress.Done()) break;
      }
      if (limited && Clock::now() >= deadline) {
        timedOut = true;
        break;
      }
      watch.Check();
    }
    if (timedOut && options.count != 0) {
      std::lock_guard<std::mutex> lock(progress.mutex);
      std::cerr << "rozctl: time-out after " << progress.seen << " of " << options.count
                << " notifications" << std::endl;
      status = 1;
    }
    // Unsubscribes at the server (done locally when it cannot be reached).
    for (const roz::Node& node : nodes) client.Unregister(node);
  }
  roz::Dispatcher::GetInstance().Stop();
  return status;
}

}  // namespace rozctl
