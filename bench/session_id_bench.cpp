// Benchmarks of session identifier keys: the `src+port` key of an IPv4 TCP
// frame, made by the stored (frame, length, out) handler, which parses the
// frame itself, and from a frame the caller has already parsed.
#include <benchmark/benchmark.h>

#include "balance/session_id.h"
#include "packet/frame.h"
#include "support/frames.h"

namespace {

Frame tcp4_frame()
{
    return FrameBuilder()
        .eth("06:00:c6:33:64:01", "02:00:00:00:00:02")
        .ipv4("192.0.2.7", "198.51.100.1")
        .tcp(40000, 80, TCP_SYN)
        .build();
}

void BM_SessionIdSrcPort(benchmark::State &state)
{
    Frame f = tcp4_frame();
    char out[SIDBUFLEN];
    for (auto _ : state) {
        benchmark::DoNotOptimize(sid_src_port(f.data(), (int)f.size(), out));
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_SessionIdSrcPort);

void BM_SessionIdSrcPortParsed(benchmark::State &state)
{
    Frame f = tcp4_frame();
    FRAMEINFO fi;
    frame_parse(f.data(), (int)f.size(), &fi);
    char out[SIDBUFLEN];
    for (auto _ : state) {
        benchmark::DoNotOptimize(sid_make(sid_src_port, f.data(), (int)f.size(), &fi, out));
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_SessionIdSrcPortParsed);

}  // namespace
