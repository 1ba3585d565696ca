// Benchmarks of the per-frame work: registry and ARP lookups, checksums,
// a ping answered through the module chain on the test wire, and whole
// frames through the default chain.
#include <benchmark/benchmark.h>

#include <arpa/inet.h>

#include "config/index_registry.h"
#include "packet/frame.h"
#include "packet/test_wire.h"
#include "support/frames.h"
#include "support/support.h"

namespace {

void BM_RegistryLookup(benchmark::State &state)
{
    INDEXREGISTRY *ir = ir_new();
    const int n = (int)state.range(0);
    for (int i = 0; i < n; i++) {
        uint8_t a[4] = {198, 51, (uint8_t)(i >> 8), (uint8_t)i};
        ir_insert4(ir, a, htons(80), i + 1);
    }
    int i = 0;
    for (auto _ : state) {
        uint8_t a[4] = {198, 51, (uint8_t)(i >> 8), (uint8_t)i};
        benchmark::DoNotOptimize(ir_lookup4(ir, a, htons(80)));
        i = (i + 1) % n;
    }
    ir_clear(ir);
}
BENCHMARK(BM_RegistryLookup)->Arg(64)->Arg(4096);

void BM_InetChecksum(benchmark::State &state)
{
    std::vector<uint8_t> data((size_t)state.range(0), 0xa5);
    for (auto _ : state)
        benchmark::DoNotOptimize(inet_checksum(data.data(), (int)data.size()));
    state.SetBytesProcessed((int64_t)state.iterations() * state.range(0));
}
BENCHMARK(BM_InetChecksum)->Arg(64)->Arg(1500);

// Parsing a 1514-byte TCP frame whose sender left its checksum to offload
// and finishing that checksum: the pseudo-header and 1480 bytes of segment
// are summed.
void BM_FinishChecksum(benchmark::State &state)
{
    Frame f = FrameBuilder()
                  .eth("06:00:c0:00:02:0a", "02:00:00:00:00:32")
                  .ipv4("192.0.2.50", "198.51.100.7")
                  .tcp(40000, 80, 0x18)
                  .payload(std::string(1460, 'k'))
                  .build();
    FRAMEINFO fi;
    if (!frame_parse(f.data(), (int)f.size(), &fi))
        state.SkipWithError("frame does not parse");
    // The parse stays in the loop: a reader parses every frame once anyway.
    for (auto _ : state) {
        frame_parse(f.data(), (int)f.size(), &fi);
        benchmark::DoNotOptimize(frame_finish_checksum(f.data(), &fi));
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_FinishChecksum);

// One interface on the test wire and network 1 (192.0.2.0/24, real
// address 192.0.2.10) on it, with the chain set by `modules`.
void wire_with_network(const char *modules)
{
    kvn_test_reset();
    tw_detach_all();
    const uint8_t hw[6] = {0x02, 0, 0, 0, 0x01, 0x01};
    tw_attach(1, "eth1", hw);
    run_line("network 1 addr 192.0.2.0");
    run_line("network 1 mask 255.255.255.0");
    run_line("network 1 real 192.0.2.10");
    run_line("network 1 interfaces 1");
    run_line("commit network 1");
    run_line(modules);
}

// An echo request to the network's real address, answered by the ping
// module after the arp module has looked at it.
void BM_PingThroughChain(benchmark::State &state)
{
    wire_with_network("modules arp,ping");
    Frame f = FrameBuilder()
                  .eth("06:00:c0:00:02:0a", "02:00:00:00:00:32")
                  .ipv4("192.0.2.50", "192.0.2.10")
                  .icmp_echo(8, 0x1234, 1, std::string(56, 'x'))
                  .build();
    tw_clear();  // the gratuitous ARP of the commit
    tw_receive(1, f.data(), (int)f.size());
    if (tw_sent_count() != 1)
        state.SkipWithError("no echo reply was sent");
    for (auto _ : state) {
        benchmark::DoNotOptimize(tw_receive(1, f.data(), (int)f.size()));
        tw_clear();
    }
    tw_detach_all();
}
BENCHMARK(BM_PingThroughChain);

// The default chain with one network (real address 192.0.2.10 as VIP) on
// the test wire; each frame is copied into the reader buffer and handed to
// the chain as a received frame. Row 0: TCP to a non-local address (every
// module passes it, the frame is dropped), row 1: ARP request for the VIP
// (answered by arp), row 2: ICMP echo to the VIP (answered by ping).
void BM_DefaultChain(benchmark::State &state)
{
    wire_with_network("modules vrrp,arp,ping,hc,master,slb,tnat,nat,rt");
    const char *client_mac = "02:00:00:00:00:32";
    Frame frames[3] = {
        FrameBuilder()
            .eth("06:00:c0:00:02:0a", client_mac)
            .ipv4("192.0.2.50", "198.51.100.7")
            .tcp(40000, 80, 0x10)
            .payload(std::string(100, 'k'))
            .build(),
        FrameBuilder()
            .eth("ff:ff:ff:ff:ff:ff", client_mac)
            .arp(1, client_mac, "192.0.2.50", "00:00:00:00:00:00", "192.0.2.10")
            .pad(60)
            .build(),
        FrameBuilder()
            .eth("06:00:c0:00:02:0a", client_mac)
            .ipv4("192.0.2.50", "192.0.2.10")
            .icmp_echo(8, 0x1234, 1, std::string(56, 'x'))
            .build(),
    };
    const int want[3] = {0, 1, 1};  // verdict: dropped, answered, answered
    const int row = (int)state.range(0);
    const Frame &f = frames[row];
    tw_clear();
    if (tw_receive(1, f.data(), (int)f.size()) != want[row] || tw_sent_count() != want[row])
        state.SkipWithError("the chain did not treat the frame as expected");
    for (auto _ : state)
        benchmark::DoNotOptimize(tw_receive(1, f.data(), (int)f.size()));
    tw_detach_all();
}
BENCHMARK(BM_DefaultChain)->ArgName("tcp_arp_echo")->DenseRange(0, 2);

}  // namespace
