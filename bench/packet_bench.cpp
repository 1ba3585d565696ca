// Benchmarks of the per-frame work: registry and ARP lookups, checksums,
// a ping answered through the module chain on the test wire, and whole
// frames through the default chain, NAT translations among them.
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <cstring>

#include "balance/session_table.h"
#include "config/index_registry.h"
#include "packet/frame.h"
#include "packet/test_wire.h"
#include "support/frames.h"
#include "support/nat_wire.h"
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

const char *const DEFAULT_CHAIN = "modules vrrp,arp,ping,hc,master,slb,tnat,nat,rt";

// The three frames of the default-chain rows, with the verdict the chain
// gives each. Row 0: TCP to a non-local address (every module passes it,
// the frame is dropped), row 1: ARP request for the VIP (answered by arp),
// row 2: ICMP echo to the VIP (answered by ping).
struct CHAINFRAME {
    Frame frame;  // the frame as the reader receives it
    int verdict;  // 0 dropped, 1 answered
};

CHAINFRAME chain_frame(int row)
{
    const char *client_mac = "02:00:00:00:00:32";
    switch (row) {
    case 0:
        return {FrameBuilder()
                    .eth("06:00:c0:00:02:0a", client_mac)
                    .ipv4("192.0.2.50", "198.51.100.7")
                    .tcp(40000, 80, 0x10)
                    .payload(std::string(100, 'k'))
                    .build(),
                0};
    case 1:
        return {FrameBuilder()
                    .eth("ff:ff:ff:ff:ff:ff", client_mac)
                    .arp(1, client_mac, "192.0.2.50", "00:00:00:00:00:00", "192.0.2.10")
                    .pad(60)
                    .build(),
                1};
    default:
        return {FrameBuilder()
                    .eth("06:00:c0:00:02:0a", client_mac)
                    .ipv4("192.0.2.50", "192.0.2.10")
                    .icmp_echo(8, 0x1234, 1, std::string(56, 'x'))
                    .build(),
                1};
    }
}

// The default chain with one network (real address 192.0.2.10 as VIP) on
// the test wire. Returns false when the frame is not treated as its row
// says (verdict and frames sent), checked once through the logging wire.
bool default_chain_ready(const CHAINFRAME &c)
{
    wire_with_network(DEFAULT_CHAIN);
    tw_clear();
    const Frame &f = c.frame;
    return tw_receive(1, f.data(), (int)f.size()) == c.verdict && tw_sent_count() == c.verdict;
}

// The frame through the wire as a test sees it: each frame is copied into
// the wire's reader buffer and logged, answers are logged too.
void BM_DefaultChain(benchmark::State &state)
{
    CHAINFRAME c = chain_frame((int)state.range(0));
    if (!default_chain_ready(c))
        state.SkipWithError("the chain did not treat the frame as expected");
    const Frame &f = c.frame;
    for (auto _ : state)
        benchmark::DoNotOptimize(tw_receive(1, f.data(), (int)f.size()));
    tw_detach_all();
}
BENCHMARK(BM_DefaultChain)->ArgName("tcp_arp_echo")->DenseRange(0, 2);

// The chain alone: the reader's frame path (parse, count, dispatch) on a
// frame in the thread's own buffer, as a reader thread runs it, with
// answers discarded unlogged. The difference to BM_DefaultChain is the
// wire's copy and log. With two threads both dispatch the same client's
// frames on the same interface, as two readers of one link would.
void BM_DefaultChainInPlace(benchmark::State &state)
{
    CHAINFRAME c = chain_frame((int)state.range(0));
    if (state.thread_index() == 0) {
        if (!default_chain_ready(c))
            state.SkipWithError("the chain did not treat the frame as expected");
        tw_discard_sends(true);
    }
    static thread_local uint8_t buf[FRAMEBUF];
    const int len = (int)c.frame.size();
    memcpy(buf, c.frame.data(), (size_t)len);
    for (auto _ : state)
        benchmark::DoNotOptimize(tw_dispatch(1, buf, len));
    if (state.thread_index() == 0)
        tw_detach_all();
}
BENCHMARK(BM_DefaultChainInPlace)->ArgName("tcp_arp_echo")->DenseRange(0, 2);
BENCHMARK(BM_DefaultChainInPlace)->ArgName("tcp_arp_echo")->Arg(0)->Threads(2)->UseRealTime();

// The frames of the NAT rows, on the NAT router of the test wire
// (support/nat_wire.h) with the default chain, each a hit of the host's
// TCP association and of the same size as the default-chain TCP row's.
// Row 0: the host's segment to the virtual MAC, which leaves on interface
// 3 from the outside address; row 1: the server's answer to the outside
// address, which goes back to the host on interface 1. The router has a
// tnat rule, so tnat looks both up first (and misses).
struct NATFRAME {
    Frame frame;
    int in;                 // interface it is received on
    int out;                // interface it leaves on
    int at;                 // offset of the translated address
    const char *becomes;    // what that address becomes
};

NATFRAME nat_frame(int row)
{
    const std::string data(100, 'k');
    if (row == 0)
        return {FrameBuilder()
                    .eth(NW_VMAC, NW_HOST_MAC)
                    .ipv4(NW_HOST4, NW_SERVER4)
                    .tcp(NW_HOST_PORT, 80, 0x10)
                    .payload(data)
                    .build(),
                1, 3, ETH_HDRLEN + IP4_SRC, NW_OUTSIDE4};
    return {FrameBuilder()
                .eth(NW_VMAC, NW_SERVER_MAC)
                .ipv4(NW_SERVER4, NW_OUTSIDE4)
                .tcp(80, NW_OUTSIDE_PORT, 0x10)
                .payload(data)
                .build(),
            3, 1, ETH_HDRLEN + IP4_DST, NW_HOST4};
}

// The NAT router with the default chain; with `first` set, that frame is
// received first (a client's, to make its session). Returns false when n's
// frame is not rewritten and sent on its way, checked once through the
// logging wire.
bool chain_ready(const NATFRAME &n, const NATFRAME *first)
{
    if (!nat_wire_init())
        return false;
    run_line(DEFAULT_CHAIN);
    if (first != nullptr)
        tw_receive(first->in, first->frame.data(), (int)first->frame.size());
    tw_clear();
    if (tw_receive(n.in, n.frame.data(), (int)n.frame.size()) != 1 || tw_sent_count() != 1)
        return false;
    const TWFRAME *f = tw_sent(0);
    return f->slot == n.out && f->len == (int)n.frame.size() &&
           memcmp(f->data + n.at, ip4_bytes(n.becomes).data(), 4) == 0;
}

// A hit through the wire as a test sees it (copy into the reader buffer,
// log), as BM_DefaultChain does.
void run_through_wire(benchmark::State &state, const NATFRAME &n, const NATFRAME *first)
{
    if (!chain_ready(n, first))
        state.SkipWithError("the frame was not rewritten and sent");
    for (auto _ : state)
        benchmark::DoNotOptimize(tw_receive(n.in, n.frame.data(), (int)n.frame.size()));
    tw_detach_all();
}

// A hit on the reader's frame path in the thread's own buffer, sends
// discarded, as BM_DefaultChainInPlace does. The rewrite changes the
// buffer, so each frame is copied back into it first (about 150 bytes, as
// a read would put it there).
void run_in_place(benchmark::State &state, const NATFRAME &n, const NATFRAME *first)
{
    if (state.thread_index() == 0) {
        if (!chain_ready(n, first))
            state.SkipWithError("the frame was not rewritten and sent");
        tw_discard_sends(true);
    }
    static thread_local uint8_t buf[FRAMEBUF];
    const int len = (int)n.frame.size();
    for (auto _ : state) {
        memcpy(buf, n.frame.data(), (size_t)len);
        benchmark::DoNotOptimize(tw_dispatch(n.in, buf, len));
    }
    if (state.thread_index() == 0)
        tw_detach_all();
}

void BM_DefaultChainNat(benchmark::State &state)
{
    run_through_wire(state, nat_frame((int)state.range(0)), nullptr);
}
BENCHMARK(BM_DefaultChainNat)->ArgName("out_in")->DenseRange(0, 1);

void BM_DefaultChainNatInPlace(benchmark::State &state)
{
    run_in_place(state, nat_frame((int)state.range(0)), nullptr);
}
BENCHMARK(BM_DefaultChainNatInPlace)->ArgName("out_in")->DenseRange(0, 1);
BENCHMARK(BM_DefaultChainNatInPlace)->ArgName("out_in")->Arg(0)->Threads(2)->UseRealTime();

// The frames of the balancing rows, on the NAT router's balanced service
// (support/nat_wire.h) with the default chain, each a hit of an existing
// session, of the default-chain TCP row's size. Row 0: the client's
// segment to server 1, which leaves for target 1 on interface 2 (address
// and port 80 -> 8080 rewritten); row 1: target 1's answer, which leaves
// from the server's address and port for the client on interface 3.
NATFRAME slb_frame(int row)
{
    const std::string data(100, 'k');
    if (row == 0)
        return {FrameBuilder()
                    .eth(NW_VMAC, NW_CLIENT_MAC)
                    .ipv4(NW_CLIENT4, NW_VIP4)
                    .tcp(40000, NW_VIP_PORT, 0x10)
                    .payload(data)
                    .build(),
                3, 2, ETH_HDRLEN + IP4_DST, NW_T1_4};
    return {FrameBuilder()
                .eth(NW_VMAC, NW_T1_MAC)
                .ipv4(NW_T1_4, NW_CLIENT4)
                .tcp(NW_TARGET_PORT, 40000, 0x10)
                .payload(data)
                .build(),
            2, 3, ETH_HDRLEN + IP4_SRC, NW_VIP4};
}

// Session hits: the client's frame makes the session first. With two
// threads in place both readers serve the same client's session, so they
// meet at the session table's writer lock on every frame.
void BM_DefaultChainSlb(benchmark::State &state)
{
    NATFRAME client = slb_frame(0);
    run_through_wire(state, slb_frame((int)state.range(0)), &client);
}
BENCHMARK(BM_DefaultChainSlb)->ArgName("client_reply")->DenseRange(0, 1);

void BM_DefaultChainSlbInPlace(benchmark::State &state)
{
    NATFRAME client = slb_frame(0);
    run_in_place(state, slb_frame((int)state.range(0)), &client);
}
BENCHMARK(BM_DefaultChainSlbInPlace)->ArgName("client_reply")->DenseRange(0, 1);
BENCHMARK(BM_DefaultChainSlbInPlace)->ArgName("client_reply")->Arg(0)->Threads(2)->UseRealTime();

// Hits of many clients' sessions in turn (range: number of clients, each
// with a source port of its own), so that a thread's kept session keys
// and answer caches no longer hold every frame's: the cost a frame of a
// busy server pays rather than one of a single connection.
void BM_DefaultChainSlbClients(benchmark::State &state)
{
    const int clients = (int)state.range(0);
    NATFRAME client = slb_frame(0);
    std::vector<Frame> frames;
    for (int c = 0; c < clients; c++) {
        Frame f = client.frame;
        wr16(&f[ETH_HDRLEN + IP4_MINHDR + L4_SPORT], (uint16_t)(1024 + c));
        uint8_t *tcp = &f[ETH_HDRLEN + IP4_MINHDR];
        uint8_t old[2] = {client.frame[ETH_HDRLEN + IP4_MINHDR], client.frame[ETH_HDRLEN + IP4_MINHDR + 1]};
        csum_replace(tcp + TCP_CSUM, old, tcp + L4_SPORT, 2);
        frames.push_back(f);
    }
    if (!chain_ready(client, nullptr))
        state.SkipWithError("the frame was not rewritten and sent");
    tw_clear();
    for (const Frame &f : frames)
        tw_receive(client.in, f.data(), (int)f.size());
    // One session per client (and the readiness check's own client's).
    if (session_table->count < clients)
        state.SkipWithError("not every client has a session");
    tw_discard_sends(true);
    static uint8_t buf[FRAMEBUF];
    const int len = (int)client.frame.size();
    size_t i = 0;
    for (auto _ : state) {
        memcpy(buf, frames[i].data(), (size_t)len);
        benchmark::DoNotOptimize(tw_dispatch(client.in, buf, len));
        if (++i == frames.size())
            i = 0;
    }
    tw_detach_all();
}
BENCHMARK(BM_DefaultChainSlbClients)->Arg(1000)->Arg(50000);

// What the in-place rows spend outside the frame path: the copy of the
// frame back into the reader's buffer before each dispatch.
void BM_FrameRestore(benchmark::State &state)
{
    const NATFRAME n = slb_frame(0);
    static uint8_t buf[FRAMEBUF];
    const int len = (int)n.frame.size();
    for (auto _ : state) {
        memcpy(buf, n.frame.data(), (size_t)len);
        benchmark::DoNotOptimize(buf);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_FrameRestore);

}  // namespace
