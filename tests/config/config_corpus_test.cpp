// Replays the seed corpus of the configuration-file fuzz target through
// the harness it shares with the fuzzer: the seed as the configuration
// file, loaded, reloaded and written out again.
#include <gtest/gtest.h>
#include <string>

#include "config/config_state.h"
#include "support/command_harness.h"
#include "support/support.h"

namespace {

class ConfigCorpus : public ::testing::Test {
  protected:
    TempRoot root;
    void SetUp() override { command_harness_init(); }
    void TearDown() override { command_harness_release(); }

    static void run(const std::string &text) { config_harness_run((const uint8_t *)text.data(), text.size()); }
};

TEST_F(ConfigCorpus, ReplaysEverySeed)
{
    auto files = corpus_files("config_corpus");
    ASSERT_GE(files.size(), 10u);
    for (const std::string &f : files) {
        SCOPED_TRACE(f);
        run(read_file(f));
        run_line("");
        int result = 0;
        run_line("show conf", &result);
        EXPECT_EQ(result, 1);
    }
}

// The file goes through the daemon's loader and survives the reload: the
// objects of the minimal seed are enabled afterwards, and nothing of the
// command harness's small configuration is there.
TEST_F(ConfigCorpus, LoaderRunsTheFile)
{
    run(read_file(std::string(KVN_SOURCE_DIR) + "/fuzz/config_corpus/minimal"));
    EXPECT_EQ(cfg.networks[1].enabled, 1);
    EXPECT_EQ(cfg.servers[3].enabled, 1);
    EXPECT_EQ(cfg.targets[3].enabled, 1);
    EXPECT_EQ(cfg.servers[1].registered, 0);
    // The load, then the two passes of the reload, each without an error.
    EXPECT_EQ(log_count("successfully loaded"), 3);
    EXPECT_EQ(log_count("ERROR"), 0);
    EXPECT_EQ(log_count("CLI reload finished"), 1);
    EXPECT_EQ(command_harness_refused(), 0);
}

} // namespace
