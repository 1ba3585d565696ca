// Replays the seed corpus of the chain fuzz target, so every build runs
// the frames the fuzzer starts from (and any crash input added to it), and
// checks that the harness's configuration still lets the seeds reach the
// modules they were made for.
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "packet/test_wire.h"
#include "packet/translate.h"
#include "support/chain_harness.h"
#include "support/frames.h"
#include "support/nat_wire.h"
#include "support/support.h"

namespace {

std::string seed(const char *name)
{
    return read_file(std::string(KVN_SOURCE_DIR) + "/fuzz/chain_corpus/" + name);
}

TEST(ChainCorpus, ReplaysEverySeed)
{
    ASSERT_TRUE(chain_harness_init());
    auto files = corpus_files("chain_corpus");
    ASSERT_GE(files.size(), 35u);
    for (const std::string &f : files) {
        SCOPED_TRACE(f);
        std::string bytes = read_file(f);
        EXPECT_GE(chain_harness_run((const uint8_t *)bytes.data(), bytes.size()), 0);
    }
    tw_detach_all();
}

// The harness is only worth its corpus if frames reach modules that act:
// an echo request to an own address is answered by both chains with ping,
// and the crossover chain forwards it to the two other interfaces. With
// VRRP configured, `strict` lets only frames to the virtual MAC on, so the
// request to the real address's own MAC is not answered by the second
// chain.
TEST(ChainCorpus, HarnessReachesTheModules)
{
    struct ROW {
        const char *seed;
        int sent;
    };
    const ROW rows[] = {{"echo4_virt_vmac", 4}, {"echo4_vip", 3}, {"runt", 0}};
    ASSERT_TRUE(chain_harness_init());
    for (const ROW &row : rows) {
        SCOPED_TRACE(row.seed);
        std::string in = seed(row.seed);
        ASSERT_FALSE(in.empty());
        EXPECT_EQ(chain_harness_run((const uint8_t *)in.data(), in.size()), row.sent);
    }
    tw_detach_all();
}

// The NAT and balancing seeds through the default chain, each in a fresh harness: what
// leaves (interface, the translated side's address and port, sound
// checksums), or nothing. An outbound seed that left untranslated would
// mean the harness no longer reaches `nat` (or `slb`), and the fuzzer
// with it.
TEST(ChainCorpus, NatSeedsReachNatAndTnat)
{
    struct ROW {
        const char *seed;
        int slot;           // interface it leaves on; 0 = nothing leaves
        NATSIDE side;       // the side whose address and port are checked
        const char *addr;
        uint16_t port;
        const char *after = nullptr;  // a seed run first in the same harness
    };
    const ROW rows[] = {
        {"nat_tcp4_out", 3, NATSIDE::SOURCE, NW_OUTSIDE4, NW_OUTSIDE_PORT},   // the existing association
        {"nat_udp4_out", 3, NATSIDE::SOURCE, NW_OUTSIDE4, 20000},             // a new one, the first port
        {"nat_echo4_out", 3, NATSIDE::SOURCE, NW_OUTSIDE4, NW_OUTSIDE_PORT},
        {"nat_udp4_nocsum_out", 3, NATSIDE::SOURCE, NW_OUTSIDE4, 20000},
        {"nat_tcp6_out", 3, NATSIDE::SOURCE, NW_OUTSIDE6, 20000},
        {"nat_echo6_out", 3, NATSIDE::SOURCE, NW_OUTSIDE6, 20000},
        {"nat_tcp4_in", 1, NATSIDE::DEST, NW_HOST4, NW_HOST_PORT},
        {"nat_echo4_reply_in", 1, NATSIDE::DEST, NW_HOST4, NW_ECHO_ID},
        {"nat_tcp4_in_unknown", 0, NATSIDE::DEST, "", 0},
        {"nat_fragment4_in", 0, NATSIDE::DEST, "", 0},
        {"nat_sctp4_out", 3, NATSIDE::SOURCE, NW_HOST4, 5000},   // not translated, routed as it is
        {"tnat_forward", 1, NATSIDE::DEST, NW_TARGET4, 8080},
        {"tnat_reverse", 3, NATSIDE::SOURCE, NW_TNAT4, 33000},
        // The balanced service: client frames leave for target 1, the
        // target's replies from the server's address and port, back to
        // the interface the client's frame came in on (every seed comes in
        // on interface 1).
        {"slb_tcp4_client", 2, NATSIDE::DEST, NW_T1_4, NW_TARGET_PORT},
        {"slb_udp6_client", 2, NATSIDE::DEST, NW_T1_6, NW_TARGET_PORT},
        {"slb_sctp4_client", 2, NATSIDE::DEST, NW_T1_4, NW_TARGET_PORT},
        {"slb_tcp4_reply", 1, NATSIDE::SOURCE, NW_VIP4, NW_VIP_PORT, "slb_tcp4_client"},
        {"slb_tcp6_reply", 1, NATSIDE::SOURCE, NW_VIP6, NW_VIP_PORT, "slb_tcp6_client"},
    };
    for (const ROW &row : rows) {
        SCOPED_TRACE(row.seed);
        ASSERT_TRUE(chain_harness_init());
        if (row.after != nullptr) {
            std::string first = seed(row.after);
            ASSERT_EQ(chain_harness_run_chain(CHAIN_HARNESS_DEFAULT, (const uint8_t *)first.data(), first.size()), 1);
        }
        std::string in = seed(row.seed);
        ASSERT_FALSE(in.empty());
        int sent = chain_harness_run_chain(CHAIN_HARNESS_DEFAULT, (const uint8_t *)in.data(), in.size());
        if (row.slot == 0) {
            EXPECT_EQ(sent, 0);
            continue;
        }
        ASSERT_EQ(sent, 1);
        const TWFRAME *f = tw_sent(0);
        EXPECT_EQ(f->slot, row.slot);
        Frame out(f->data, f->data + f->len);
        EXPECT_EQ(checksum_mismatch(out), "") << hex(out);
        FRAMEINFO fi;
        ASSERT_TRUE(frame_parse(out.data(), (int)out.size(), &fi)) << hex(out);
        uint8_t addr[16];
        frame_addr16(out.data(), &fi, row.side, addr);
        EXPECT_EQ(Frame(addr, addr + 16), ip16_bytes(row.addr)) << hex(out);
        uint16_t port = 0;
        EXPECT_TRUE(frame_nat_port(out.data(), &fi, row.side, &port));
        EXPECT_EQ(port, row.port);
    }
    tw_detach_all();
}

// A fragmentation-needed message for the server quoting a client's
// connection goes to each operational target as it is (targets 1 and 2).
TEST(ChainCorpus, TooBigSeedReachesTheTargets)
{
    ASSERT_TRUE(chain_harness_init());
    std::string in = seed("slb_too_big4");
    ASSERT_FALSE(in.empty());
    ASSERT_EQ(chain_harness_run_chain(CHAIN_HARNESS_DEFAULT, (const uint8_t *)in.data(), in.size()), 2);
    for (int i = 0; i < 2; i++) {
        const TWFRAME *f = tw_sent(i);
        EXPECT_EQ(f->slot, 2);
        EXPECT_EQ(Frame(f->data + ETH_HDRLEN, f->data + f->len), Frame(in.begin() + ETH_HDRLEN, in.end()));
    }
    tw_detach_all();
}

} // namespace
