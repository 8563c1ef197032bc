// Costs of the client library's local operations: the lookup of a node by
// path through a local tree of depth 10, copying and comparing handles, and
// the dispatcher's Emit of one record to 1, 8 and 64 clients.
//
// The Emit benchmark counts the operator new calls made on the emitting
// thread (the counter "allocs/record"): handing one record to any number of
// clients should cost the one shared record and nothing per client. The
// clients' workers run a callback that only counts, so the queues drain
// while the benchmark emits; their own allocations are not counted.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <new>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "client/dispatcher.h"
#include "client/factory.h"
#include "client/local_node_structure.h"
#include "client/node.h"
#include "client/notification_data.h"
#include "client/tree_node.h"

// The replaced global operator new and delete below pair malloc with free;
// GCC cannot see that pairing where a delete is inlined and warns.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

namespace {

// operator new calls on threads that set t_countAllocations.
thread_local bool t_countAllocations = false;
thread_local unsigned long long t_allocations = 0;

}  // namespace

void* operator new(std::size_t size) {
  if (t_countAllocations) ++t_allocations;
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

roz::TreeNodePtr NewLocal(const std::string& name) {
  return roz::factory::Create<roz::LocalNodeStructure, roz::TreeNode>(name);
}

// A chain root.n1.n2...n10; returns the root and fills `path` with the
// names below it.
roz::TreeNodePtr Chain(int depth, roz::Path& path) {
  roz::TreeNodePtr root = NewLocal("root");
  roz::TreeNodePtr parent = root;
  for (int i = 1; i <= depth; ++i) {
    path.push_back("n" + std::to_string(i));
    parent = parent->Add(NewLocal(path.back()));
  }
  return root;
}

void BM_GetNodeDepth10(benchmark::State& state) {
  roz::Path path;
  roz::TreeNodePtr root = Chain(10, path);
  const roz::Node handle(root, roz::c_noRelPath);
  for (auto _ : state) {
    roz::Node found = handle.GetNode(path);
    benchmark::DoNotOptimize(found);
  }
}
BENCHMARK(BM_GetNodeDepth10);

void BM_HandleCopy(benchmark::State& state) {
  roz::Path path;
  roz::TreeNodePtr root = Chain(3, path);
  const roz::Node handle(root, path);  // a path of three names, as a proxy's nodes have
  for (auto _ : state) {
    roz::Node copy(handle);
    benchmark::DoNotOptimize(copy);
  }
}
BENCHMARK(BM_HandleCopy);

void BM_HandleCompare(benchmark::State& state) {
  roz::Path path;
  roz::TreeNodePtr root = Chain(3, path);
  const roz::Node a(root, path);
  roz::Path other = path;
  other.back() += "x";
  const roz::Node b(root, other);
  for (auto _ : state) {
    benchmark::DoNotOptimize(a == b);
    benchmark::DoNotOptimize(a < b);
  }
}
BENCHMARK(BM_HandleCompare);

// Emit of one record to state.range(0) clients: the producer makes one
// shared record (as the notification servant does) and the dispatcher
// queues it for every client. The record names the tree node itself (empty
// path) and carries no payload, so that making it allocates the record and
// nothing else: "allocs/record" should read 1 for any number of clients.
void BM_DispatcherEmit(benchmark::State& state) {
  roz::Dispatcher& dispatcher = roz::Dispatcher::GetInstance();
  std::atomic<unsigned long long> delivered{0};
  const roz::Callback callback([&delivered](const roz::NotificationData&) { ++delivered; });
  const roz::TreeNodePtr root = NewLocal("root");
  const roz::Node node(root, roz::c_noRelPath);
  std::set<roz::ClientId> clients;
  for (int64_t i = 0; i < state.range(0); ++i) {
    const roz::ClientId id = dispatcher.Connect(callback);
    dispatcher.Register(id, node);  // starts the client's worker
    clients.insert(id);
  }

  unsigned long long allocations = 0;
  for (auto _ : state) {
    t_allocations = 0;
    t_countAllocations = true;
    dispatcher.Emit(clients, std::make_shared<roz::NotificationData>(
                                 node, roz::enums::eValueChanged, istd::Any(), 0u));
    t_countAllocations = false;
    allocations += t_allocations;
  }
  state.counters["allocs/record"] = benchmark::Counter(static_cast<double>(allocations) /
                                                       static_cast<double>(state.iterations()));
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
  // After the timed loop: waits for the queues to drain before the clients
  // go, so that every run starts with empty queues.
  const unsigned long long expected = static_cast<unsigned long long>(state.iterations()) *
                                      static_cast<unsigned long long>(state.range(0));
  while (delivered.load() < expected) std::this_thread::yield();
  for (const roz::ClientId& id : clients) dispatcher.Disconnect(id);
}
BENCHMARK(BM_DispatcherEmit)->Arg(1)->Arg(8)->Arg(64)->ArgName("clients")->UseRealTime();

}  // namespace
