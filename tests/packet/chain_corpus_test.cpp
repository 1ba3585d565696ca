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

// The NAT seeds through the default chain, each in a fresh harness: what
// leaves (interface, the translated side's address and port, sound
// checksums), or nothing. An outbound seed that left untranslated would
// mean the harness no longer reaches `nat`, and the fuzzer with it.
TEST(ChainCorpus, NatSeedsReachNatAndTnat)
{
    struct ROW {
        const char *seed;
        int slot;           // interface it leaves on; 0 = nothing leaves
        NATSIDE side;       // the side whose address and port are checked
        const char *addr;
        uint16_t port;
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
    };
    for (const ROW &row : rows) {
        SCOPED_TRACE(row.seed);
        ASSERT_TRUE(chain_harness_init());
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

} // namespace
