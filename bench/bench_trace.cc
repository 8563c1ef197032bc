// Cost of trace statements that do not write: a disabled statement must be a
// flag test and a compare, nothing formatted.
#include <benchmark/benchmark.h>

#include "istd/log.h"

namespace {

struct Expensive {
  int value;
};
std::ostream& operator<<(std::ostream& os, const Expensive& e) {
  return os << "expensive " << e.value;
}

void BM_TraceDisabled(benchmark::State& state) {
  istd::TraceFile::GetInstance().Stop();
  int i = 0;
  for (auto _ : state) {
    ISTD_TRACE(istd::eHigh, Expensive{i} << " " << 3.14);
    benchmark::DoNotOptimize(++i);
  }
}
BENCHMARK(BM_TraceDisabled);

void BM_TraceLevelTooLow(benchmark::State& state) {
  istd::TraceFile::Init("/dev/null", "");
  istd::TraceFile::GetInstance().Start(istd::eLow);
  int i = 0;
  for (auto _ : state) {
    ISTD_TRACE(istd::eDetail, Expensive{i} << " " << 3.14);
    benchmark::DoNotOptimize(++i);
  }
  istd::TraceFile::GetInstance().Stop();
}
BENCHMARK(BM_TraceLevelTooLow);

void BM_TraceFncScopeDisabled(benchmark::State& state) {
  istd::TraceFile::GetInstance().Stop();
  for (auto _ : state) {
    ISTD_TRACE_FNC();
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_TraceFncScopeDisabled);

void BM_TraceEnabledToDevNull(benchmark::State& state) {
  istd::TraceFile::Init("/dev/null", "");
  istd::TraceFile::GetInstance().Start(istd::eHigh);
  int i = 0;
  for (auto _ : state) {
    ISTD_TRACE(istd::eHigh, Expensive{i} << " " << 3.14);
    ++i;
  }
  istd::TraceFile::GetInstance().Stop();
}
BENCHMARK(BM_TraceEnabledToDevNull);

}  // namespace
