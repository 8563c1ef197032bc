// bench_e2e: the client library against bare i_NET calls on the same work,
// against one regd that this program starts (on a free port of the
// loopback interface; run it inside the loopback-only namespace, as
// ./dev.sh bench does).
//
// For every case the library path and the bare path run alternately, round
// after round, in the same process against the same server, and the table
// shows the medians over the rounds and their ratio (library / bare for
// rates, bare / library for times, so that 1.00 means "as fast as the bare
// broker" and smaller means slower):
//
//   scalar GetValue<double> and SetValue: microseconds per call;
//   GetValue of a 1 Mi-element double array: MB/s;
//   notifications per second to one callback (regd emits as fast as the
//   client takes them, see regd.stress.emit);
//   push stream of 64 Ki-double blocks to one and to three stream clients,
//   against a bare SignalReceiver that copies each block once: MB/s per
//   client;
//   Connect + first read, in a new process (cold) and in this one (warm).
//
// Afterwards the heap in use and the resident set size of this process are
// reported around 10 000 notifications and 1 000 blocks read through the
// library.
//
//   bench_e2e [--quick] [--rounds N]
//
// --quick runs every case once with tiny counts (the smoke test of CI).
//
// Threads: the main thread runs the cases; callbacks, servants and stream
// clients count on their own threads into atomics.
#include <malloc.h>
#include <omniORB4/CORBA.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iomanip>
#include <iostream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <typeinfo>
#include <vector>

#include "bench_stats.h"
#include "bench_tree.h"
#include "client/roz.h"
#include "isig/isig.h"
#include "network/i_application.h"
#include "network/i_notification.h"
#include "network/i_signal_receiver.h"
#include "network/inet.h"
#include "support/regd_process.h"

namespace {

using benchstats::Clock;

using Traits = isig::SignalTraits<double>;
using StreamClient = isig::StreamClient<Traits>;

using benchtree::c_arraySize;
using benchtree::c_blockSize;
using benchtree::c_mb;
using benchtree::c_tree;

struct Counts {
  int rounds = 7;
  int scalarCalls = 2000;
  int arrayReads = 10;
  int notifications = 10000;
  int blocks = 200;
  int warmConnects = 20;
  int coldConnects = 5;
  int memNotifications = 10000;
  int memBlocks = 1000;
};

using benchstats::Median;
using benchstats::Seconds;

// Resident set size of this process in KiB.
long RssKiB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  }
  return -1;
}

// Heap in use in KiB: the allocator's blocks handed out and not freed, in
// its arenas and in separately mapped chunks.
long HeapInUseKiB() {
  const struct mallinfo2 info = mallinfo2();
  return static_cast<long>((info.uordblks + info.hblkhd) / 1024);
}

// Polls `done` until it holds or `timeoutS` passes; throws on time-out.
void WaitFor(const std::function<bool()>& done, double timeoutS, const char* what) {
  const Clock::time_point end = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                                   std::chrono::duration<double>(timeoutS));
  while (!done()) {
    if (Clock::now() > end) throw std::runtime_error(std::string("timed out: ") + what);
    std::this_thread::sleep_for(std::chrono::microseconds(50));
  }
}

i_NET::NodeNames Names(const roz::Path& path) {
  i_NET::NodeNames names;
  names.length(static_cast<CORBA::ULong>(path.size()));
  for (CORBA::ULong i = 0; i < names.length(); ++i) names[i] = path[i].c_str();
  return names;
}

// ---- bare servants ----

// Counts the Emits it receives and keeps the last value, as a minimal
// client would.
class BareSink : public POA_i_NET::Notification {
 public:
  void Emit(const i_NET::NotificationData& data) override {
    CORBA::ULongLong value = 0;
    data.data >>= value;
    m_last.store(value, std::memory_order_relaxed);
    m_count.fetch_add(1, std::memory_order_release);
  }
  std::atomic<unsigned long long> m_count{0};
  std::atomic<unsigned long long> m_last{0};
};

// Copies each double block once into a vector of its own and counts it.
class BareReceiver : public POA_i_NET::SignalReceiver {
 public:
  void DispatchDouble(const i_NET::DoubleBuffer& data, const i_NET::SignalMeta&) override {
    std::vector<double> copy(data.get_buffer(), data.get_buffer() + data.length());
    m_last.store(copy.empty() ? 0 : copy.back(), std::memory_order_relaxed);
    Count();
  }
  void DispatchInt8(const i_NET::Int8Buffer&, const i_NET::SignalMeta&) override {}
  void DispatchUInt8(const i_NET::UInt8Buffer&, const i_NET::SignalMeta&) override {}
  void DispatchInt16(const i_NET::Int16Buffer&, const i_NET::SignalMeta&) override {}
  void DispatchUInt16(const i_NET::UInt16Buffer&, const i_NET::SignalMeta&) override {}
  void DispatchInt32(const i_NET::Int32Buffer&, const i_NET::SignalMeta&) override {}
  void DispatchUInt32(const i_NET::UInt32Buffer&, const i_NET::SignalMeta&) override {}
  void DispatchInt64(const i_NET::Int64Buffer&, const i_NET::SignalMeta&) override {}
  void DispatchUInt64(const i_NET::UInt64Buffer&, const i_NET::SignalMeta&) override {}
  void DispatchFloat(const i_NET::FloatBuffer&, const i_NET::SignalMeta&) override {}
  void Cancel(CORBA::Long) override {}

  // Blocks counted; the time of the first and of the latest one.
  std::atomic<unsigned long long> m_count{0};
  std::atomic<double> m_last{0};
  Clock::time_point m_first, m_latest;

 private:
  void Count() {
    const Clock::time_point now = Clock::now();
    if (m_count.load(std::memory_order_relaxed) == 0) m_first = now;
    m_latest = now;
    m_count.fetch_add(1, std::memory_order_release);
  }
};

// A servant kept active in the ORB manager's bidirectional adapter for the
// lifetime of this object.
template <typename Servant>
class ActiveServant {
 public:
  ActiveServant() : m_servant(new Servant) { inet::OM()->Activate(m_servant); }
  ~ActiveServant() { inet::OM()->Deactivate(m_servant); }
  Servant* operator->() { return m_servant; }
  Servant* get() { return m_servant; }

 private:
  Servant* m_servant;
};

// ---- the bare client: the same operations on the plain stubs ----

class BareClient {
 public:
  explicit BareClient(const std::string& url) {
    CORBA::Object_var object = inet::OM()->StringToObject(url);
    m_app = i_NET::Application::_narrow(object.in());
    i_NET::Notification_var sink = m_sink->_this();
    m_root = m_app->GetRemoteNode(sink.in());
  }
  ~BareClient() {
    try {
      i_NET::Notification_var sink = m_sink->_this();
      m_app->ReleaseRemoteNode(sink.in());
    } catch (const CORBA::Exception&) {
    }
  }
  i_NET::RemoteNode_ptr Root() { return m_root.in(); }
  BareSink* Sink() { return m_sink.get(); }

  double GetDouble(const i_NET::NodeNames& names) {
    CORBA::Any_var answer = m_root->GetValue(names, 0, 1, CORBA::_tc_double);
    CORBA::Double value = 0;
    if (!(answer.in() >>= value)) throw std::runtime_error("bare: not a double");
    return value;
  }
  void SetDouble(const i_NET::NodeNames& names, double value) {
    auto* buffer = new i_NET::DoubleBuffer;
    buffer->length(1);
    (*buffer)[0] = value;
    CORBA::Any any;
    any <<= buffer;
    m_root->SetValue(names, any, 0);
  }
  void SetULongLong(const i_NET::NodeNames& names, unsigned long long value) {
    auto* buffer = new i_NET::UInt64Buffer;
    buffer->length(1);
    (*buffer)[0] = value;
    CORBA::Any any;
    any <<= buffer;
    m_root->SetValue(names, any, 0);
  }
  // The whole array into `values`, as the library's caller gets it.
  void GetArray(const i_NET::NodeNames& names, std::vector<double>& values) {
    CORBA::Any_var answer = m_root->GetValue(names, 0, 0, CORBA::_tc_double);
    const i_NET::DoubleBuffer* buffer = nullptr;
    if (!(answer.in() >>= buffer) || buffer == nullptr) throw std::runtime_error("bare: no array");
    values.assign(buffer->get_buffer(), buffer->get_buffer() + buffer->length());
  }

 private:
  i_NET::Application_var m_app;
  ActiveServant<BareSink> m_sink;
  i_NET::RemoteNode_var m_root;
};

// ---- the table ----

struct Row {
  std::string name;
  std::string unit;
  double library;
  double bare;
  bool higherIsBetter;
};

void PrintTable(const std::vector<Row>& rows) {
  std::cout << "\n| case | library | bare | ratio |\n|---|---:|---:|---:|\n";
  for (const Row& row : rows) {
    const double ratio = row.higherIsBetter ? row.library / row.bare : row.bare / row.library;
    std::cout << "| " << row.name << " (" << row.unit << ") | " << std::fixed
              << std::setprecision(row.library < 100 ? 2 : 0) << row.library << " | "
              << std::setprecision(row.bare < 100 ? 2 : 0) << row.bare << " | "
              << std::setprecision(2) << ratio << " |\n";
  }
  std::cout << "\nratio: 1.00 = the bare broker's figure; below 1 the library is slower.\n";
}

// ---- the benchmark ----

class Bench {
 public:
  Bench(const Counts& counts, const std::string& self) : m_counts(counts), m_self(self) {}

  int Run() {
    m_regd.Options().tree = m_regd.WriteTree("bench.json", c_tree);
    m_regd.Options().args = {"--heartbeat-ms", "0"};
    m_regd.Options().log = false;
    m_regd.Start();
    const int port = static_cast<int>(m_regd.Port());
    m_url = "corbaloc:iiop:1.2@127.0.0.1:" + std::to_string(port) + "/varnek-app";
    std::cout << "regd on port " << port << ", " << m_counts.rounds << " round(s) per case"
              << std::endl;

    roz::Init();
    m_root = roz::Connect("127.0.0.1", roz::ePlatform, port, false);
    if (!m_root.IsValid()) throw std::runtime_error("roz::Connect failed");
    m_bare.reset(new BareClient(m_url));
    FillArray();

    std::vector<Row> rows;
    Scalars(rows);
    Array(rows);
    Notifications(rows);
    Streams(rows, 1);
    Streams(rows, 3);
    Connects(rows);
    PrintTable(rows);
    Memory();

    m_bare.reset();
    m_root = roz::Node();
    roz::Shutdown();
    m_regd.Stop();
    return 0;
  }

 private:
  // Runs library(), bare() alternately m_counts.rounds times; the medians.
  void Alternate(const std::function<double()>& library, const std::function<double()>& bare,
                 Row& row) {
    std::vector<double> lib, raw;
    for (int round = 0; round < m_counts.rounds; ++round) {
      lib.push_back(library());
      raw.push_back(bare());
    }
    row.library = Median(lib);
    row.bare = Median(raw);
  }

  void FillArray() {
    i_NET::DoubleBuffer* buffer = new i_NET::DoubleBuffer;
    buffer->length(c_arraySize);
    for (CORBA::ULong i = 0; i < c_arraySize; ++i) (*buffer)[i] = i * 0.5;
    CORBA::Any any;
    any <<= buffer;
    m_bare->Root()->SetValue(Names({"array"}), any, 0);
  }

  void Scalars(std::vector<Row>& rows) {
    const roz::Node scalar = m_root.GetNode(roz::Path{"scalar"});
    const i_NET::NodeNames names = Names({"scalar"});
    const int n = m_counts.scalarCalls;
    Row get{"scalar GetValue<double>", "us/call", 0, 0, false};
    Alternate(
        [&] {
          double value = 0;
          const Clock::time_point start = Clock::now();
          for (int i = 0; i < n; ++i) {
            if (!scalar.GetValue(value, 0)) throw std::runtime_error("GetValue failed");
          }
          return Seconds(start, Clock::now()) * 1e6 / n;
        },
        [&] {
          const Clock::time_point start = Clock::now();
          for (int i = 0; i < n; ++i) m_bare->GetDouble(names);
          return Seconds(start, Clock::now()) * 1e6 / n;
        },
        get);
    rows.push_back(get);
    Row set{"scalar SetValue", "us/call", 0, 0, false};
    Alternate(
        [&] {
          const Clock::time_point start = Clock::now();
          for (int i = 0; i < n; ++i) {
            if (!scalar.SetValue(0.5 * i, 0)) throw std::runtime_error("SetValue failed");
          }
          return Seconds(start, Clock::now()) * 1e6 / n;
        },
        [&] {
          const Clock::time_point start = Clock::now();
          for (int i = 0; i < n; ++i) m_bare->SetDouble(names, 0.5 * i);
          return Seconds(start, Clock::now()) * 1e6 / n;
        },
        set);
    rows.push_back(set);
  }

  void Array(std::vector<Row>& rows) {
    const roz::Node array = m_root.GetNode(roz::Path{"array"});
    const i_NET::NodeNames names = Names({"array"});
    const int n = m_counts.arrayReads;
    const double bytes = static_cast<double>(c_arraySize) * sizeof(double) * n;
    Row row{"GetValue 1 Mi doubles", "MB/s", 0, 0, true};
    Alternate(
        [&] {
          std::vector<double> values;
          const Clock::time_point start = Clock::now();
          for (int i = 0; i < n; ++i) {
            if (!array.GetValue(values, 0, 0) || values.size() != c_arraySize) {
              throw std::runtime_error("array GetValue failed");
            }
          }
          return bytes / Seconds(start, Clock::now()) / c_mb;
        },
        [&] {
          std::vector<double> values;
          const Clock::time_point start = Clock::now();
          for (int i = 0; i < n; ++i) {
            m_bare->GetArray(names, values);
            if (values.size() != c_arraySize) throw std::runtime_error("bare array read failed");
          }
          return bytes / Seconds(start, Clock::now()) / c_mb;
        },
        row);
    rows.push_back(row);
  }

  // Library: `count` notifications of regd.stress.counter through one
  // NotificationClient callback; the rate from the write to regd.stress.emit
  // until the last callback.
  double LibraryNotifications(int count) {
    const roz::Node counter = m_root.GetNode(roz::Path{"regd", "stress", "counter"});
    const roz::Node emit = m_root.GetNode(roz::Path{"regd", "stress", "emit"});
    std::atomic<long> received{0};
    std::atomic<uint64_t> last{0};
    roz::NotificationClient client;
    // Reads the value as the bare sink does, then counts.
    const roz::Callback callback([&received, &last](const roz::NotificationData& n) {
      if (n.data.Holds<uint64_t>()) {
        last.store(n.data.Get<uint64_t>(), std::memory_order_relaxed);
      }
      received.fetch_add(1, std::memory_order_release);
    });
    if (!client.Register(counter, callback)) {
      throw std::runtime_error("Register failed");
    }
    const Clock::time_point start = Clock::now();
    if (!emit.SetValue(static_cast<uint64_t>(count), 0)) {
      throw std::runtime_error("write to regd.stress.emit failed");
    }
    WaitFor([&] { return received.load(std::memory_order_acquire) >= count; }, 60,
            "library notifications");
    const double rate = count / Seconds(start, Clock::now());
    client.Unregister(counter);
    return rate;
  }

  double BareNotifications(int count) {
    const i_NET::NodeNames counter = Names({"regd", "stress", "counter"});
    BareSink* sink = m_bare->Sink();
    sink->m_count = 0;
    if (!m_bare->Root()->Subscribe(counter)) throw std::runtime_error("bare Subscribe failed");
    const Clock::time_point start = Clock::now();
    m_bare->SetULongLong(Names({"regd", "stress", "emit"}), static_cast<unsigned long long>(count));
    WaitFor(
        [&] {
          return sink->m_count.load(std::memory_order_acquire) >=
                 static_cast<unsigned long long>(count);
        },
        60, "bare notifications");
    const double rate = count / Seconds(start, Clock::now());
    m_bare->Root()->Unsubscribe(counter);
    return rate;
  }

  void Notifications(std::vector<Row>& rows) {
    Row row{"notifications to one callback", "1/s", 0, 0, true};
    const int n = m_counts.notifications;
    Alternate([&] { return LibraryNotifications(n); }, [&] { return BareNotifications(n); }, row);
    rows.push_back(row);
  }

  // Library: `clients` stream clients of one remote stream, each read on a
  // thread of its own until it has `blocks` blocks after its first one;
  // MB/s per client from the first block of any client to the last block
  // of the slowest.
  double LibraryStream(int clients, int blocks) {
    isig::SignalSourceSharedPtr source =
        roz::CreateRemoteSignal(m_root.GetNode(roz::Path{"stream"}));
    if (!source) throw std::runtime_error("CreateRemoteSignal failed");
    std::vector<std::unique_ptr<StreamClient>> readers;
    for (int i = 0; i < clients; ++i) {
      readers.emplace_back(static_cast<StreamClient*>(source->NewSignalClient("bench", 0)));
    }
    std::vector<Clock::time_point> first(clients), last(clients);
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (auto& reader : readers) reader->Open();
    for (int i = 0; i < clients; ++i) {
      threads.emplace_back([&, i] {
        StreamClient::Block block;
        for (int b = 0; b <= blocks; ++b) {
          if (readers[i]->Read(block, 10000) != isig::eSuccess ||
              block->buffer.AtomCount() != c_blockSize) {
            ++failures;
            return;
          }
          if (b == 0) first[i] = Clock::now();
        }
        last[i] = Clock::now();
      });
    }
    for (auto& thread : threads) thread.join();
    for (auto& reader : readers) reader->Close();
    if (failures != 0) throw std::runtime_error("stream read failed");
    const Clock::time_point from = *std::min_element(first.begin(), first.end());
    const Clock::time_point to = *std::max_element(last.begin(), last.end());
    return static_cast<double>(blocks) * c_blockSize * sizeof(double) / Seconds(from, to) / c_mb;
  }

  double BareStream(int blocks) {
    CORBA::Object_var object;
    i_NET::RemoteSignal_var signal = m_bare->Root()->GetRemoteSignal(Names({"stream"}));
    ActiveServant<BareReceiver> receiver;
    i_NET::SignalReceiver_var ref = receiver->_this();
    if (signal->RegisterReceiver(ref.in(), 0, c_blockSize, 0,
                                 static_cast<CORBA::ULong>(roz::c_remoteSignalQueueSize)) != 0) {
      throw std::runtime_error("bare RegisterReceiver failed");
    }
    WaitFor([&] { return receiver->m_count.load(std::memory_order_acquire) >= 1; }, 20,
            "first bare block");
    const Clock::time_point from = receiver->m_first;
    WaitFor(
        [&] {
          return receiver->m_count.load(std::memory_order_acquire) >=
                 static_cast<unsigned long long>(blocks) + 1;
        },
        60, "bare blocks");
    const Clock::time_point to = Clock::now();
    const unsigned long long counted = receiver->m_count.load();
    signal->UnregisterReceiver(ref.in());
    return static_cast<double>(counted - 1) * c_blockSize * sizeof(double) / Seconds(from, to) /
           c_mb;
  }

  void Streams(std::vector<Row>& rows, int clients) {
    Row row{"push 64 Ki doubles, " + std::to_string(clients) + " client" + (clients > 1 ? "s" : ""),
            "MB/s per client", 0, 0, true};
    const int n = m_counts.blocks;
    Alternate([&] { return LibraryStream(clients, n); }, [&] { return BareStream(n); }, row);
    rows.push_back(row);
  }

  // Warm: a new connection in this process (the ORB is up), the first read.
  double LibraryConnectWarm() {
    const int port = static_cast<int>(m_regd.Port());
    const Clock::time_point start = Clock::now();
    roz::Node app = roz::Connect("127.0.0.1", roz::eApp, port, false);
    double value = 0;
    if (!app.IsValid() || !app.GetNode(roz::Path{"scalar"}).GetValue(value, 0)) {
      throw std::runtime_error("warm Connect failed");
    }
    const double us = Seconds(start, Clock::now()) * 1e6;
    roz::DeleteNode("127.0.0.1", roz::eApp, port);
    return us;
  }

  double BareConnectWarm() {
    const Clock::time_point start = Clock::now();
    double us = 0;
    {
      BareClient client(m_url);
      client.GetDouble(Names({"scalar"}));
      us = Seconds(start, Clock::now()) * 1e6;
    }
    return us;
  }

  // Cold: this program again, in a new process that only connects and
  // reads once; the time from fork to its end.
  double ConnectCold(const char* mode) {
    const std::string port = std::to_string(m_regd.Port());
    const Clock::time_point start = Clock::now();
    const pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
      execl(m_self.c_str(), m_self.c_str(), "--connect-once", mode, port.c_str(),
            static_cast<char*>(nullptr));
      _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      throw std::runtime_error(std::string("cold connect (") + mode + ") failed");
    }
    return Seconds(start, Clock::now()) * 1e6;
  }

  void Connects(std::vector<Row>& rows) {
    Row cold{"Connect + first read, cold", "us", 0, 0, false};
    {
      std::vector<double> lib, raw;
      for (int i = 0; i < m_counts.coldConnects; ++i) {
        lib.push_back(ConnectCold("library"));
        raw.push_back(ConnectCold("bare"));
      }
      cold.library = Median(lib);
      cold.bare = Median(raw);
    }
    rows.push_back(cold);
    Row warm{"Connect + first read, warm", "us", 0, 0, false};
    {
      std::vector<double> lib, raw;
      for (int i = 0; i < m_counts.warmConnects; ++i) {
        lib.push_back(LibraryConnectWarm());
        raw.push_back(BareConnectWarm());
      }
      warm.library = Median(lib);
      warm.bare = Median(raw);
    }
    rows.push_back(warm);
  }

  // The resident set size keeps what the allocator has taken from the
  // system (freed memory stays in its arenas, thread stacks stay cached),
  // so the heap in use is reported beside it: that is the figure that must
  // come back to its starting level.
  void Memory() {
    const long rssBefore = RssKiB();
    const long heapBefore = HeapInUseKiB();
    LibraryNotifications(m_counts.memNotifications);
    LibraryStream(1, m_counts.memBlocks);
    const long rssAfter = RssKiB();
    const long heapAfter = HeapInUseKiB();
    std::cout << "\naround " << m_counts.memNotifications << " notifications and "
              << m_counts.memBlocks << " blocks:\n  heap in use: " << heapBefore << " KiB before, "
              << heapAfter << " KiB after (" << std::showpos << (heapAfter - heapBefore)
              << std::noshowpos << " KiB)\n  resident set size: " << rssBefore << " KiB before, "
              << rssAfter << " KiB after (" << std::showpos << (rssAfter - rssBefore)
              << std::noshowpos << " KiB)\n";
  }

  const Counts m_counts;
  const std::string m_self;
  testsupport::RegdProcess m_regd;
  std::string m_url;
  roz::Node m_root;
  std::unique_ptr<BareClient> m_bare;
};

// The child of a cold connection: connect to 127.0.0.1:`port` and read the
// scalar once, through the library or the bare stubs.
int ConnectOnce(const std::string& mode, int port) {
  if (mode == "library") {
    roz::Init();
    roz::Node app = roz::Connect("127.0.0.1", roz::ePlatform, port, false);
    double value = 0;
    const bool ok = app.IsValid() && app.GetNode(roz::Path{"scalar"}).GetValue(value, 0);
    app = roz::Node();
    roz::Shutdown();
    return ok ? 0 : 1;
  }
  inet::OrbManager::Init(0, nullptr, 0, inet::OrbManager::c_defaultMaxMsgSize);
  int result = 1;
  {
    BareClient client("corbaloc:iiop:1.2@127.0.0.1:" + std::to_string(port) + "/varnek-app");
    client.GetDouble(Names({"scalar"}));
    result = 0;
  }
  inet::OM()->ORBShutdown(true);
  inet::OM()->ORBDestroy();
  return result;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    if (argc == 4 && std::strcmp(argv[1], "--connect-once") == 0) {
      return ConnectOnce(argv[2], std::atoi(argv[3]));
    }
    Counts counts;
    for (int i = 1; i < argc; ++i) {
      if (std::strcmp(argv[i], "--quick") == 0) {
        counts = Counts{1, 20, 1, 50, 4, 1, 1, 100, 10};
      } else if (std::strcmp(argv[i], "--rounds") == 0 && i + 1 < argc) {
        counts.rounds = std::max(1, std::atoi(argv[++i]));
      } else {
        std::cerr << "usage: bench_e2e [--quick] [--rounds N]\n";
        return 2;
      }
    }
    char self[4096];
    const ssize_t length = readlink("/proc/self/exe", self, sizeof(self) - 1);
    if (length <= 0) throw std::runtime_error("cannot find this program");
    self[length] = '\0';
    return Bench(counts, self).Run();
  } catch (const CORBA::Exception& e) {
    std::cerr << "bench_e2e: " << e << std::endl;
  } catch (const std::exception& e) {
    std::cerr << "bench_e2e: " << e.what() << std::endl;
  }
  return 1;
}
