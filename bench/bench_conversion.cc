// Cost of the value conversions between istd::Any and CORBA::Any for a
// vector of 1, 1 000 and 1 000 000 doubles (an i_NET::DoubleBuffer on the
// CORBA side), in both directions. The results are new values each time, as
// in the registry calls that use them.
#include <benchmark/benchmark.h>

#include <omniORB4/CORBA.h>

#include <vector>

#include "istd/any.h"
#include "network/conversion.h"

namespace {

void BM_AnyToCorbaAny(benchmark::State& state) {
  const istd::Any value(std::vector<double>(static_cast<size_t>(state.range(0)), 1.5));
  for (auto _ : state) {
    CORBA::Any converted = inet::AnyToCorbaAny(value);
    benchmark::DoNotOptimize(&converted);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0) *
                          static_cast<int64_t>(sizeof(double)));
}
BENCHMARK(BM_AnyToCorbaAny)->Arg(1)->Arg(1000)->Arg(1000000)->ArgName("doubles");

void BM_CorbaAnyToAny(benchmark::State& state) {
  const CORBA::Any value = inet::LocalSeqToCorbaAny<double, i_NET::DoubleBuffer>(
      std::vector<double>(static_cast<size_t>(state.range(0)), 1.5));
  for (auto _ : state) {
    istd::Any converted = inet::CorbaAnyToAny(value);
    benchmark::DoNotOptimize(&converted);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0) *
                          static_cast<int64_t>(sizeof(double)));
}
BENCHMARK(BM_CorbaAnyToAny)->Arg(1)->Arg(1000)->Arg(1000000)->ArgName("doubles");

}  // namespace
