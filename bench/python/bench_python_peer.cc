// bench_python_peer: the C++ side of bench_python.py. Runs the same cases as
// the Python side against a regd that the driver started (the bench tree
// of bench_python.py) and prints one line per case and round:
//
//   bench_python_peer --port P [--rounds R] [--calls N] [--arrays N]
//                     [--notifications N] [--blocks N]
//
//   get_us      scalar Node::Get<double>, microseconds per call
//   put_us      scalar Node::Set<double>, microseconds per call
//   array_mbs   Node::Get of the 1 Mi-double array, MB/s
//   notify_rate notifications per second into one callback
//   stream_mbs  push stream of 64 Ki-double blocks into one client, MB/s
//
// Threads: the main thread runs the cases; the callback counts on the
// dispatcher thread into an atomic.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "client/roz.h"
#include "isig/isig.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point from) {
  return std::chrono::duration<double>(Clock::now() - from).count();
}

struct Options {
  int port = 0;
  int rounds = 5;
  int calls = 2000;
  int arrays = 10;
  int notifications = 20000;
  int blocks = 200;
};

Options Parse(int argc, char** argv) {
  Options o;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string key = argv[i];
    const int value = std::atoi(argv[i + 1]);
    if (key == "--port")
      o.port = value;
    else if (key == "--rounds")
      o.rounds = value;
    else if (key == "--calls")
      o.calls = value;
    else if (key == "--arrays")
      o.arrays = value;
    else if (key == "--notifications")
      o.notifications = value;
    else if (key == "--blocks")
      o.blocks = value;
    else
      throw std::runtime_error("unknown option " + key);
  }
  if (o.port == 0) throw std::runtime_error("--port is needed");
  return o;
}

double NotificationRate(roz::Node& root, int count) {
  std::atomic<int> seen{0};
  roz::Node counter = root.GetNode(roz::Tokenize("regd.stress.counter"));
  roz::NotificationClient client;
  if (!client.Register(counter, roz::Callback([&](const roz::NotificationData& n) {
                         double value = static_cast<double>(
                             n.data.Get<uint64_t>());  // as the Python side converts
                         (void)value;
                         seen.fetch_add(1, std::memory_order_relaxed);
                       }))) {
    throw std::runtime_error("cannot subscribe");
  }
  const auto start = Clock::now();
  root.GetNode(roz::Tokenize("regd.stress.emit")).Set(static_cast<uint64_t>(count), 0);
  while (seen.load() < count) std::this_thread::sleep_for(std::chrono::microseconds(200));
  const double rate = count / Seconds(start);
  client.Unregister(counter);
  return rate;
}

double StreamRate(roz::Node& root, int blocks) {
  using Traits = isig::SignalTraits<double>;
  isig::SignalSourceSharedPtr source =
      roz::CreateRemoteSignal(root.GetNode(roz::Tokenize("stream")));
  if (!source) throw std::runtime_error("no stream");
  std::unique_ptr<isig::StreamClient<Traits>> client(
      static_cast<isig::StreamClient<Traits>*>(source->NewSignalClient("peer", 256)));
  client->Open();
  isig::StreamClient<Traits>::Block block;
  if (client->Read(block, 10000) != isig::eSuccess) throw std::runtime_error("no first block");
  size_t bytes = 0;
  const auto start = Clock::now();
  for (int i = 0; i < blocks; ++i) {
    if (client->Read(block, 10000) != isig::eSuccess) throw std::runtime_error("block missing");
    // one copy out of the block, as the Python side makes its numpy array
    std::vector<double> copy(block->buffer.Data(), block->buffer.Data() + block->buffer.Size());
    bytes += copy.size() * sizeof(double);
  }
  const double rate = bytes / 1e6 / Seconds(start);
  client->Close();
  return rate;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    const Options o = Parse(argc, argv);
    roz::Init();
    roz::Node root = roz::Connect("127.0.0.1", roz::eApp, o.port, false);
    if (!root.IsValid()) throw std::runtime_error("cannot connect");
    roz::Node scalar = root.GetNode(roz::Tokenize("scalar"));
    roz::Node array = root.GetNode(roz::Tokenize("array"));
    for (int round = 0; round < o.rounds; ++round) {
      double value = 0;
      auto start = Clock::now();
      for (int i = 0; i < o.calls; ++i) scalar.Get(value, 0);
      std::printf("get_us %.3f\n", Seconds(start) * 1e6 / o.calls);
      start = Clock::now();
      for (int i = 0; i < o.calls; ++i) scalar.Set(0.5 * i, 0);
      std::printf("put_us %.3f\n", Seconds(start) * 1e6 / o.calls);
      std::vector<double> values;
      size_t bytes = 0;
      start = Clock::now();
      for (int i = 0; i < o.arrays; ++i) {
        array.Get(values, 0, 0);
        bytes += values.size() * sizeof(double);
      }
      std::printf("array_mbs %.1f\n", bytes / 1e6 / Seconds(start));
      std::printf("notify_rate %.0f\n", NotificationRate(root, o.notifications));
      std::printf("stream_mbs %.1f\n", StreamRate(root, o.blocks));
      std::fflush(stdout);
    }
    root = roz::Node();
    roz::Dispatcher::GetInstance().Stop();
    roz::Shutdown();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "bench_python_peer: %s\n", e.what());
    return 1;
  }
  return 0;
}
