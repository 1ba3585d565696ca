// The daemon log: the two rings, the entry form, the message cut and the
// debug scope list.
#include <gtest/gtest.h>

#include <atomic>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "command/log.h"
#include "support/support.h"

namespace {

class Log : public ::testing::Test {
  protected:
    void SetUp() override { kvn_test_reset(); }
};

// The lines of a show output without the trailing prompt.
std::vector<std::string> lines_of(const std::string &text)
{
    std::vector<std::string> lines;
    size_t pos = 0, nl;
    while ((nl = text.find('\n', pos)) != std::string::npos) {
        lines.push_back(text.substr(pos, nl - pos));
        pos = nl + 1;
    }
    return lines;
}

// The message part of a shown entry: after "  date time level ".
std::string message_of(const std::string &line)
{
    static const std::regex entry(R"(^  \d{4}/\d{2}/\d{2} \d{2}:\d{2}:\d{2} (\d) (.*)$)");
    std::smatch m;
    if (!std::regex_match(line, m, entry))
        return "<bad entry: " + line + ">";
    return m[1].str() + "|" + m[2].str();
}

TEST_F(Log, StartupLogKeepsFirstFortyRecentShowsLatestThirtyNine)
{
    for (int i = 0; i < 45; i++)
        log_message(6, "entry %d", i);

    std::vector<std::string> startup = lines_of(run_line("show startuplog"));
    ASSERT_EQ(startup.size(), 40u);
    for (int i = 0; i < 40; i++)
        EXPECT_EQ(message_of(startup[i]), "6|entry " + std::to_string(i));

    std::vector<std::string> recent = lines_of(run_line("show log"));
    ASSERT_EQ(recent.size(), 39u);
    for (int i = 0; i < 39; i++)
        EXPECT_EQ(message_of(recent[i]), "6|entry " + std::to_string(i + 6));
}

TEST_F(Log, FewEntriesShowInOrderInBothRings)
{
    log_message(3, "first");
    log_message(4, "second");
    const std::vector<std::string> want = {"3|first", "4|second"};
    for (const char *item : {"show log", "show startuplog"}) {
        std::vector<std::string> lines = lines_of(run_line(item));
        ASSERT_EQ(lines.size(), 2u) << item;
        EXPECT_EQ(message_of(lines[0]), want[0]) << item;
        EXPECT_EQ(message_of(lines[1]), want[1]) << item;
    }
}

TEST_F(Log, LongMessageIsCutTo125Characters)
{
    std::string longmsg(200, 'x');
    longmsg.replace(120, 10, "0123456789");  // marks where the cut falls
    log_message(6, "%s", longmsg.c_str());
    std::vector<std::string> lines = lines_of(run_line("show log"));
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(message_of(lines[0]), "6|" + longmsg.substr(0, 125));
    EXPECT_EQ(lines[0].substr(lines[0].size() - 5), "01234");
}

TEST_F(Log, EveryLevelDigitAndFormatting)
{
    for (int level : {0, 2, 3, 4, 5, 6, 7})
        log_message(level, "level %d value %s", level, "v");
    std::vector<std::string> lines = lines_of(run_line("show log"));
    ASSERT_EQ(lines.size(), 7u);
    int i = 0;
    for (int level : {0, 2, 3, 4, 5, 6, 7}) {
        std::string d = std::to_string(level);
        EXPECT_EQ(message_of(lines[i++]), d + "|level " + d + " value v");
    }
}

TEST_F(Log, DebugScopesList)
{
    EXPECT_EQ(run_line("show debugscopes"),
              "  0 off\n"
              "  1 target script debugging\n"
              "  2 target ascript debugging\n"
              "  3 server plugin debugging\n"
              "  4 DNS library debugging\n"
              "  5 location group (LGRP) debugging\n"
              "  6 special session table (portrel) debugging\n"
              "  7 debugging of session table syncing\n"
              "  8 debugging of gratuitous ARP requests\n"
              "kvn# ");
}

// `show log` while another thread logs: every line shown is one whole
// entry, never the start of a new message over the end of an old one.
// (The thread-sanitizer build also checks the ring is read under its lock.)
TEST_F(Log, ShowLogWhileLoggingShowsWholeEntries)
{
    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (int n = 0; n < 20000; n++) {
            std::string body(100, (char)('a' + n % 26));
            log_message(6, "entry %s", body.c_str());
        }
        done = true;
    });
    int shown = 0, torn = 0;
    for (int round = 0; round < 100000 && !done.load(); round++) {
        for (const std::string &line : lines_of(run_line("show log"))) {
            if (line.rfind("  ", 0) != 0)
                continue;  // the prompt
            std::string m = message_of(line);
            shown++;
            if (m.size() != 2 + 6 + 100 || m.compare(0, 8, "6|entry ") != 0 ||
                m.find_first_not_of(m[8], 8) != std::string::npos)
                torn++;
        }
    }
    writer.join();
    EXPECT_GT(shown, 0);
    EXPECT_EQ(torn, 0);
}

} // namespace
