// bench_tls: what TLS costs the client library. Two worker processes run
// the same cases, one over plain TCP against a plain regd, one over TLS
// (mutual, with certificates made by make_test_pki.sh) against a regd
// serving TLS; the ORB is set up once per process, so the two transports
// cannot share one. This program alternates the two, round after round,
// and prints the medians and their ratio (TLS / plain for times, plain /
// TLS for rates: 1.00 means "as fast as plain TCP", smaller is slower):
//
//   scalar GetValue<double> and SetValue: microseconds per call;
//   GetValue of a 1 Mi-element double array: MB/s;
//   push stream of 64 Ki-double blocks to one stream client: MB/s;
//   connect: a new process that starts the library, connects and reads
//   once (handshake included), microseconds from fork to its end;
//   and, beside the library's rows, the array read and the push stream
//   done on the bare generated stubs (no library, a receiver that copies
//   each block once) over the same ORB and transport: what omniORB itself
//   gives, plain and over TLS.
//
//   bench_tls [--quick] [--rounds N]
//
// Run it inside the loopback-only namespace (./dev.sh bench does).
//
// Threads: each process runs its cases on its main thread; the workers
// answer one request line at a time on standard output.
#include <omniORB4/CORBA.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <iomanip>
#include <iostream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench_stats.h"
#include "bench_tree.h"
#include "client/roz.h"
#include "isig/isig.h"
#include "network/i_application.h"
#include "network/orb_manager.h"
#include "support/regd_process.h"
#include "support/test_pki.h"

namespace {

using benchstats::Clock;
using benchstats::Median;
using benchstats::Seconds;

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
  int blocks = 200;
  int connects = 5;
};

// How a worker reaches its server: port, and the CA and key files (empty
// for plain TCP).
struct Target {
  int port = 0;
  std::string ca;
  std::string key;
};

void StartLibrary(const Target& target) {
  inet::TlsSettings tls;
  tls.m_caFile = target.ca;
  tls.m_keyFile = target.key;
  roz::SetTls(tls);
  roz::Init();
}

roz::Node ConnectTo(const Target& target) {
  roz::Node root = roz::Connect("127.0.0.1", roz::ePlatform, target.port, false);
  if (!root.IsValid()) throw std::runtime_error("roz::Connect failed");
  return root;
}

// ---- the worker ------------------------------------------------------

double Scalars(const roz::Node& root, bool write, int n) {
  const roz::Node scalar = root.GetNode(roz::Path{"scalar"});
  double value = 0;
  const Clock::time_point start = Clock::now();
  for (int i = 0; i < n; ++i) {
    const bool ok = write ? scalar.SetValue(1.5 + i, 0) : scalar.GetValue(value, 0);
    if (!ok) throw std::runtime_error("scalar call failed");
  }
  return Seconds(start, Clock::now()) * 1e6 / n;
}

double Array(const roz::Node& root, int n) {
  const roz::Node array = root.GetNode(roz::Path{"array"});
  std::vector<double> values;
  const Clock::time_point start = Clock::now();
  for (int i = 0; i < n; ++i) {
    if (!array.GetValue(values, 0, 0) || values.size() != c_arraySize) {
      throw std::runtime_error("array read failed");
    }
  }
  return static_cast<double>(c_arraySize) * sizeof(double) * n / Seconds(start, Clock::now()) /
         c_mb;
}

double Stream(const roz::Node& root, int n) {
  const isig::SignalSourceSharedPtr source = roz::CreateRemoteSignal(root.GetNode(roz::Path{"stream"}));
  if (!source) throw std::runtime_error("no stream");
  std::unique_ptr<StreamClient> client(dynamic_cast<StreamClient*>(source->NewSignalClient("bench", 64)));
  if (!client) throw std::runtime_error("no stream client");
  client->Open();
  StreamClient::Block block;
  if (client->Read(block, 30000) != isig::eSuccess) throw std::runtime_error("first block");
  const Clock::time_point start = Clock::now();
  for (int i = 0; i < n; ++i) {
    if (client->Read(block, 30000) != isig::eSuccess) throw std::runtime_error("block read failed");
  }
  return static_cast<double>(c_blockSize) * sizeof(double) * n / Seconds(start, Clock::now()) /
         c_mb;
}

// ---- the same on the bare stubs ----------------------------------------

i_NET::NodeNames Names(const char* name) {
  i_NET::NodeNames names;
  names.length(1);
  names[0] = name;
  return names;
}

class NullSink : public POA_i_NET::Notification {
 public:
  void Emit(const i_NET::NotificationData&) override {}
};

// Copies each double block once and counts it.
class CopyingReceiver : public POA_i_NET::SignalReceiver {
 public:
  void DispatchDouble(const i_NET::DoubleBuffer& data, const i_NET::SignalMeta&) override {
    std::vector<double> copy(data.get_buffer(), data.get_buffer() + data.length());
    if (copy.size() != c_blockSize) m_wrong.store(true);
    if (m_count.load() == 0) m_first = Clock::now();
    m_count.fetch_add(1, std::memory_order_release);
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

  std::atomic<unsigned long long> m_count{0};
  std::atomic<bool> m_wrong{false};
  Clock::time_point m_first;  // written before the first count is published
};

// The registry root of the worker's server on the bare stubs, with a sink
// that ignores notifications (the ORB the library started is used).
class BareRoot {
 public:
  explicit BareRoot(const Target& target) : m_sink(new NullSink) {
    inet::OM()->Activate(m_sink);
    CORBA::Object_var object = inet::OM()->StringToObject(
        inet::OM()->AddressScheme() + "1.2@127.0.0.1:" + std::to_string(target.port) +
        "/" + inet::c_defaultNetId);
    m_app = i_NET::Application::_narrow(object.in());
    i_NET::Notification_var sink = m_sink->_this();
    m_root = m_app->GetRemoteNode(sink.in());
  }
  i_NET::RemoteNode_ptr operator->() { return m_root.in(); }

 private:
  NullSink* m_sink;
  i_NET::Application_var m_app;
  i_NET::RemoteNode_var m_root;
};

double BareArray(BareRoot& root, int n) {
  const i_NET::NodeNames names = Names("array");
  std::vector<double> values;
  const Clock::time_point start = Clock::now();
  for (int i = 0; i < n; ++i) {
    CORBA::Any_var answer = root->GetValue(names, 0, 0, CORBA::_tc_double);
    const i_NET::DoubleBuffer* buffer = nullptr;
    if (!(answer.in() >>= buffer) || buffer == nullptr || buffer->length() != c_arraySize) {
      throw std::runtime_error("bare array read failed");
    }
    values.assign(buffer->get_buffer(), buffer->get_buffer() + buffer->length());
  }
  return static_cast<double>(c_arraySize) * sizeof(double) * n / Seconds(start, Clock::now()) /
         c_mb;
}

double BareStream(BareRoot& root, int n) {
  i_NET::RemoteSignal_var signal = root->GetRemoteSignal(Names("stream"));
  auto* receiver = new CopyingReceiver;
  inet::OM()->Activate(receiver);
  i_NET::SignalReceiver_var ref = receiver->_this();
  if (signal->RegisterReceiver(ref.in(), 0, c_blockSize, 0, 64) != 0) {
    throw std::runtime_error("bare RegisterReceiver failed");
  }
  const auto wait = [&](unsigned long long count) {
    const Clock::time_point end = Clock::now() + std::chrono::seconds(60);
    while (receiver->m_count.load(std::memory_order_acquire) < count) {
      if (Clock::now() > end) throw std::runtime_error("bare blocks did not come");
      std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
  };
  wait(1);
  const Clock::time_point from = receiver->m_first;
  wait(static_cast<unsigned long long>(n) + 1);
  const Clock::time_point to = Clock::now();
  const unsigned long long counted = receiver->m_count.load();
  signal->UnregisterReceiver(ref.in());
  const bool wrong = receiver->m_wrong.load();
  inet::OM()->Deactivate(receiver);  // the POA may delete it from here on
  if (wrong) throw std::runtime_error("bare block of the wrong size");
  return static_cast<double>(counted - 1) * c_blockSize * sizeof(double) / Seconds(from, to) /
         c_mb;
}

// Answers "get N", "set N", "array N", "stream N", "bare-array N",
// "bare-stream N" and "fill" on standard input with one number per line
// until "quit".
int Worker(const Target& target) {
  StartLibrary(target);
  roz::Node root = ConnectTo(target);
  BareRoot bare(target);
  std::string command;
  int n = 0;
  while (std::cin >> command && command != "quit") {
    double result = 0;
    if (command == "fill") {
      root.GetNode(roz::Path{"array"}).SetValue(std::vector<double>(c_arraySize, 0.5), 0);
    } else {
      std::cin >> n;
      if (command == "get" || command == "set") result = Scalars(root, command == "set", n);
      if (command == "array") result = Array(root, n);
      if (command == "stream") result = Stream(root, n);
      if (command == "bare-array") result = BareArray(bare, n);
      if (command == "bare-stream") result = BareStream(bare, n);
    }
    std::cout << result << std::endl;
  }
  root = roz::Node();
  roz::Shutdown();
  return 0;
}

// The child of a connect measurement: start, connect, read once.
int ConnectOnce(const Target& target) {
  StartLibrary(target);
  double value = 0;
  roz::Node root = ConnectTo(target);
  const bool ok = root.GetNode(roz::Path{"scalar"}).GetValue(value, 0);
  root = roz::Node();
  roz::Shutdown();
  return ok ? 0 : 1;
}

// ---- the parent ------------------------------------------------------

std::vector<std::string> TargetArgs(const Target& target) {
  return {std::to_string(target.port), target.ca.empty() ? "-" : target.ca,
          target.key.empty() ? "-" : target.key};
}

// A worker process with pipes to its standard input and output.
class WorkerProcess {
 public:
  WorkerProcess(const std::string& self, const Target& target) {
    int in[2], out[2];
    if (::pipe(in) != 0 || ::pipe(out) != 0) throw std::runtime_error("pipe failed");
    std::vector<std::string> args = {self, "--worker"};
    for (const std::string& a : TargetArgs(target)) args.push_back(a);
    m_pid = ::fork();
    if (m_pid < 0) throw std::runtime_error("fork failed");
    if (m_pid == 0) {
      ::dup2(in[0], 0);
      ::dup2(out[1], 1);
      ::close(in[1]);
      ::close(out[0]);
      std::vector<char*> argv;
      for (std::string& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    m_to = ::fdopen(in[1], "w");
    m_from = ::fdopen(out[0], "r");
  }
  ~WorkerProcess() {
    std::fputs("quit\n", m_to);
    std::fclose(m_to);
    std::fclose(m_from);
    int status = 0;
    ::waitpid(m_pid, &status, 0);
  }
  WorkerProcess(const WorkerProcess&) = delete;
  WorkerProcess& operator=(const WorkerProcess&) = delete;

  double Ask(const std::string& request) {
    std::fprintf(m_to, "%s\n", request.c_str());
    std::fflush(m_to);
    double value = 0;
    if (std::fscanf(m_from, "%lf", &value) != 1) {
      throw std::runtime_error("worker failed at: " + request);
    }
    return value;
  }

 private:
  pid_t m_pid = 0;
  FILE* m_to = nullptr;
  FILE* m_from = nullptr;
};

double ConnectCold(const std::string& self, const Target& target) {
  std::vector<std::string> args = {self, "--connect-once"};
  for (const std::string& a : TargetArgs(target)) args.push_back(a);
  const Clock::time_point start = Clock::now();
  const pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) throw std::runtime_error("connect failed");
  return Seconds(start, Clock::now()) * 1e6;
}

struct Row {
  std::string what;
  std::string unit;
  double plain;
  double tls;
  bool higherIsBetter;
};

int Run(const Counts& counts, const std::string& self) {
  testsupport::TestPki pki;
  testsupport::RegdProcess plainRegd, tlsRegd;
  for (testsupport::RegdProcess* regd : {&plainRegd, &tlsRegd}) {
    regd->Options().tree = regd->WriteTree("bench.json", c_tree);
    regd->Options().args = {"--heartbeat-ms", "0"};
    regd->Options().log = false;
  }
  tlsRegd.Options().args.insert(tlsRegd.Options().args.end(),
                                {"--tls-ca", pki.Ca(), "--tls-key", pki.Key("server")});
  plainRegd.Start();
  tlsRegd.Start();
  const Target plain{static_cast<int>(plainRegd.Port()), "", ""};
  const Target tls{static_cast<int>(tlsRegd.Port()), pki.Ca(), pki.Key("operator")};
  std::cout << "plain regd on port " << plain.port << ", TLS regd on port " << tls.port << ", "
            << counts.rounds << " round(s) per case" << std::endl;

  std::vector<Row> rows;
  {
    WorkerProcess plainWorker(self, plain);
    WorkerProcess tlsWorker(self, tls);
    plainWorker.Ask("fill");
    tlsWorker.Ask("fill");
    const auto alternate = [&](const std::string& request, Row row) {
      std::vector<double> p, t;
      for (int round = 0; round < counts.rounds; ++round) {
        p.push_back(plainWorker.Ask(request));
        t.push_back(tlsWorker.Ask(request));
      }
      row.plain = Median(p);
      row.tls = Median(t);
      rows.push_back(row);
    };
    alternate("get " + std::to_string(counts.scalarCalls), {"GetValue<double>", "us/call", 0, 0, false});
    alternate("set " + std::to_string(counts.scalarCalls), {"SetValue<double>", "us/call", 0, 0, false});
    alternate("array " + std::to_string(counts.arrayReads), {"GetValue 1 Mi doubles", "MB/s", 0, 0, true});
    alternate("bare-array " + std::to_string(counts.arrayReads),
              {"  bare stubs, same read", "MB/s", 0, 0, true});
    alternate("stream " + std::to_string(counts.blocks), {"push 64 Ki doubles, 1 client", "MB/s", 0, 0, true});
    alternate("bare-stream " + std::to_string(counts.blocks),
              {"  bare stubs, same stream", "MB/s", 0, 0, true});
  }
  {
    std::vector<double> p, t;
    for (int i = 0; i < counts.connects; ++i) {
      p.push_back(ConnectCold(self, plain));
      t.push_back(ConnectCold(self, tls));
    }
    rows.push_back({"start + Connect + first read", "us", Median(p), Median(t), false});
  }

  std::cout << "\n" << std::left << std::setw(32) << "case" << std::setw(10) << "unit"
            << std::right << std::setw(12) << "plain" << std::setw(12) << "TLS" << std::setw(10)
            << "ratio" << "\n";
  for (const Row& row : rows) {
    const double ratio = row.higherIsBetter ? row.tls / row.plain : row.plain / row.tls;
    std::cout << std::left << std::setw(32) << row.what << std::setw(10) << row.unit
              << std::right << std::fixed << std::setprecision(1) << std::setw(12) << row.plain
              << std::setw(12) << row.tls << std::setprecision(2) << std::setw(10) << ratio
              << "\n";
  }
  plainRegd.Stop();
  tlsRegd.Stop();
  return 0;
}

Target TargetFrom(char** argv) {
  Target target;
  target.port = std::atoi(argv[0]);
  if (std::strcmp(argv[1], "-") != 0) target.ca = argv[1];
  if (std::strcmp(argv[2], "-") != 0) target.key = argv[2];
  return target;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    if (argc == 5 && std::strcmp(argv[1], "--worker") == 0) return Worker(TargetFrom(argv + 2));
    if (argc == 5 && std::strcmp(argv[1], "--connect-once") == 0) {
      return ConnectOnce(TargetFrom(argv + 2));
    }
    Counts counts;
    for (int i = 1; i < argc; ++i) {
      if (std::strcmp(argv[i], "--quick") == 0) {
        counts = Counts{1, 20, 1, 4, 1};
      } else if (std::strcmp(argv[i], "--rounds") == 0 && i + 1 < argc) {
        counts.rounds = std::max(1, std::atoi(argv[++i]));
      } else {
        std::cerr << "usage: bench_tls [--quick] [--rounds N]\n";
        return 2;
      }
    }
    char self[4096];
    const ssize_t length = ::readlink("/proc/self/exe", self, sizeof(self) - 1);
    if (length <= 0) throw std::runtime_error("cannot find this program");
    self[length] = '\0';
    return Run(counts, self);
  } catch (const CORBA::Exception& e) {
    std::cerr << "bench_tls: " << e << std::endl;
  } catch (const std::exception& e) {
    std::cerr << "bench_tls: " << e.what() << std::endl;
  }
  return 1;
}
