// Cost of writing one event into the calling thread's log, the price every
// diagnostic and switch change pays.  Each iteration is one event, so the
// time per iteration is the time per event (target: 15 ns or less for a
// 32-bit event).  The log is made before timing starts; the ring wraps many
// times during a run, which is the steady state of a long-running thread.
#include <benchmark/benchmark.h>

#include <cstdint>

#include "shared/eventlog/zolta.h"

namespace {

void BM_LogU32(benchmark::State& state) {
    ZOLTA_StartThreadLog();
    uint32_t value = 0;
    for (auto _ : state) ZOLTA_LogU32("ABCDEFG", value++);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_LogU32);

void BM_LogTextShort(benchmark::State& state) {
    ZOLTA_StartThreadLog();
    for (auto _ : state) ZOLTA_LogText("GSWITCH", "SupportHexFloatFormat=0");
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_LogTextShort);

// A typical diagnostic line copied into the log.
void BM_LogTextDiagnostic(benchmark::State& state) {
    ZOLTA_StartThreadLog();
    for (auto _ : state) ZOLTA_LogText("error", "symkeep: error: cannot open input file \"prog.elf\": No such file");
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_LogTextDiagnostic);

}  // namespace

BENCHMARK_MAIN();
