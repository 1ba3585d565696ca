// Replays the seed corpus of the chain fuzz target, so every build runs
// the frames the fuzzer starts from (and any crash input added to it).
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "packet/test_wire.h"
#include "support/chain_harness.h"
#include "support/support.h"

namespace {

TEST(ChainCorpus, ReplaysEverySeed)
{
    chain_harness_init();
    auto files = corpus_files("chain_corpus");
    ASSERT_GE(files.size(), 15u);
    for (const std::string &f : files) {
        SCOPED_TRACE(f);
        std::string bytes = read_file(f);
        EXPECT_GE(chain_harness_run((const uint8_t *)bytes.data(), bytes.size()), 0);
    }
    tw_detach_all();
}

// The harness is only worth its corpus if frames reach modules that act:
// an echo request to an own address is answered by both chains with ping,
// and the crossover chain forwards it to the two other interfaces.
TEST(ChainCorpus, HarnessReachesTheModules)
{
    chain_harness_init();
    std::string echo = read_file(std::string(KVN_SOURCE_DIR) + "/fuzz/chain_corpus/echo4_vip");
    ASSERT_FALSE(echo.empty());
    EXPECT_EQ(chain_harness_run((const uint8_t *)echo.data(), echo.size()), 4);
    std::string runt = read_file(std::string(KVN_SOURCE_DIR) + "/fuzz/chain_corpus/runt");
    EXPECT_EQ(chain_harness_run((const uint8_t *)runt.data(), runt.size()), 0);
    tw_detach_all();
}

} // namespace
