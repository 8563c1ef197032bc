// Cost of pushing one block of 64 Ki doubles into a stream (the copy from
// the receiver's buffer into one shared block and its fan-out) with 1 and
// with 3 client queues, each client taking the block out again.
#include <benchmark/benchmark.h>

#include <memory>
#include <vector>

#include "isig/isig.h"

namespace {

using Traits = isig::SignalTraits<double>;
using Client = isig::StreamClient<Traits>;

void BM_StreamDispatch64KiDoubles(benchmark::State& state) {
  isig::Stream<Traits> stream("bench", Traits(1, {"value"}, 1));
  std::vector<std::unique_ptr<Client>> clients;
  for (int64_t i = 0; i < state.range(0); ++i) {
    clients.emplace_back(static_cast<Client*>(stream.NewSignalClient("client", 4)));
    clients.back()->Open();
  }
  const std::vector<double> values(64 * 1024, 1.5);
  const isig::SignalMeta meta{{isig::eMetaSequence, 1}};
  for (auto _ : state) {
    stream.Dispatch(values.data(), static_cast<unsigned int>(values.size()), meta);
    Client::Block block;
    for (auto& client : clients) client->Read(block, 0);
    benchmark::DoNotOptimize(block.get());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(values.size() * sizeof(double)));
}
BENCHMARK(BM_StreamDispatch64KiDoubles)->Arg(1)->Arg(3)->ArgName("queues");

}  // namespace
