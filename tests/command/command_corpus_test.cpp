// Replays the seed corpus of the command fuzz target and checks the
// harness it shares with the fuzzer: its small configuration is in place,
// input reaches the interpreter, and the deny list refuses exactly the
// commands it names, under any abbreviation.
#include <gtest/gtest.h>
#include <string>

#include "command/command_table.h"
#include "command/interpreter.h"
#include "config/config_state.h"
#include "support/command_harness.h"
#include "support/support.h"

namespace {

class CommandCorpus : public ::testing::Test {
  protected:
    TempRoot root;
    void SetUp() override { command_harness_init(); }
    void TearDown() override { command_harness_release(); }

    static void run(const std::string &text) { command_harness_run((const uint8_t *)text.data(), text.size()); }
};

TEST_F(CommandCorpus, ReplaysEverySeed)
{
    auto files = corpus_files("command_corpus");
    ASSERT_GE(files.size(), 20u);
    for (const std::string &f : files) {
        SCOPED_TRACE(f);
        std::string bytes = read_file(f);
        ASSERT_FALSE(bytes.empty());
        run(bytes);
        // Whatever the seed did, the interpreter still answers once an
        // empty line has closed any block the seed left open.
        run_line("");
        int result = 0;
        run_line("show conf", &result);
        EXPECT_EQ(result, 1);
    }
}

TEST_F(CommandCorpus, SmallConfigurationAndInputReachTheInterpreter)
{
    command_harness_reset();
    EXPECT_EQ(cfg.interfaces[1].enabled, 1);
    EXPECT_EQ(cfg.networks[1].enabled, 1);
    EXPECT_EQ(cfg.servers[1].enabled, 1);
    EXPECT_EQ(cfg.targets[1].enabled, 1);
    EXPECT_EQ(cfg.servers[2].registered, 0);
    run(read_file(std::string(KVN_SOURCE_DIR) + "/fuzz/command_corpus/server_block"));
    EXPECT_EQ(cfg.servers[2].enabled, 1);
    EXPECT_EQ(command_harness_refused(), 0);
    // The next run starts from the small configuration again.
    run("show conf\n");
    EXPECT_EQ(cfg.servers[2].registered, 0);
}

struct DENYCASE {
    const char *text;  // input of one run
    int refused;       // calls the deny list refuses
};

const DENYCASE deny_cases[] = {
    {"stop\n", 1},
    {"shutdown\n", 1},
    {"s\n", 1},  // `shutdown` by abbreviation
    {"coredump\n", 1},
    {"dump 1 /tmp\n", 1},
    {"sessiondump /tmp/x\nsnapshot-full /tmp/y\nipdb /dev/stdin\n", 3},
    {"enable interface 1\n", 1},
    {"commit i 2\n", 1},
    {"interface 2 {\nname lo\n}\nregister interface 2\nenable interfaces 2\n", 1},
    {"enable server 1\n", 0},  // runs, and fails: already enabled
    {"enable s 1\n", 0},
    {"commit target 1\n", 0},
    {"enable \"\" 1\n", 0},  // the empty kind word means servers
    {"register interface 2\nshow conf\n", 0},
};

TEST_F(CommandCorpus, DenyListRefusesWhatItNames)
{
    for (const DENYCASE &c : deny_cases) {
        SCOPED_TRACE(c.text);
        run(c.text);
        EXPECT_EQ(command_harness_refused(), c.refused);
        EXPECT_EQ(cfg.interfaces[2].enabled, 0);
    }
    // Refused calls report an error like any failing command.
    run("stop\n");
    EXPECT_STREQ(errbuf, "stop refused by the fuzz harness\n");
}

TEST_F(CommandCorpus, ReleasePutsTheCommandsBack)
{
    EXPECT_NE(cmdh_lookup(cmdhash, "stop", 1)->handler, cmd_stop);
    command_harness_release();
    EXPECT_EQ(cmdh_lookup(cmdhash, "stop", 1)->handler, cmd_stop);
    EXPECT_EQ(cmdh_lookup(cmdhash, "enable", 3)->handler, cmd_enable);
    EXPECT_EQ(cmdh_lookup(cmdhash, "ipdb6", 1)->revert, cmd_no_ipdb6);
    command_harness_init();
}

} // namespace
