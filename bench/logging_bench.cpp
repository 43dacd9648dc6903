// Cost of log messages: a dropped message (level above the threshold) through
// a child logger several levels below the one that sets the threshold, and,
// for comparison, a message that passes and is written to a discarding
// output.
#include "tessarc/runtime.h"

#include <benchmark/benchmark.h>

#include <cstring>

namespace {

// A chain of `depth` loggers below a top logger with threshold 4 and the
// given output; every link inherits threshold, prefix and outputs.
struct Chain {
    TQ_Logger top;
    TQ_Logger links[8];
    explicit Chain(int depth, TQ_LogOutputFn output)
    {
        std::memset(&top, 0, sizeof top);
        top.name = "bench.top";
        top.prefix = "Bench: ";
        top.level = TQ_LOG_INFO;
        top.outputs[0] = output;
        top.isStatic = 1;
        TQ_Logger *parent = &top;
        for (int i = 0; i < depth; ++i) {
            std::memset(&links[i], 0, sizeof links[i]);
            links[i].name = "bench.link";
            links[i].parent = parent;
            links[i].level = TQ_LOG_INHERIT;
            links[i].outputs[0] = TQ_LOG_INHERIT_OUTPUT_func;
            links[i].isStatic = 1;
            parent = &links[i];
        }
        leaf = parent;
    }
    TQ_Logger *leaf;
};

int discardOutput(void *, int, const char *format, va_list args)
{
    benchmark::DoNotOptimize(format);
    benchmark::DoNotOptimize(args);
    return 0;
}

void BM_DroppedMessage(benchmark::State &state)
{
    Chain chain(static_cast<int>(state.range(0)), discardOutput);
    for (auto _ : state)
        TQ_log(chain.leaf, TQ_LOG_DEBUG, "dropped %d %s\n", 42, "text");
}
BENCHMARK(BM_DroppedMessage)->Arg(0)->Arg(4);

void BM_PassedMessageDiscarded(benchmark::State &state)
{
    Chain chain(static_cast<int>(state.range(0)), discardOutput);
    for (auto _ : state)
        TQ_log(chain.leaf, TQ_LOG_INFO, "passed %d %s\n", 42, "text");
}
BENCHMARK(BM_PassedMessageDiscarded)->Arg(0)->Arg(4);

} // namespace
