// The interpreter: tokenising, lookup with abbreviations, blocks, `no`, `!`,
// the ten-word rule, errors and help.
#include <gtest/gtest.h>

#include <cstring>
#include <set>

#include "command/command_table.h"
#include "command/interpreter.h"
#include "config/parameters.h"
#include "support/support.h"

namespace {

class Interpreter : public ::testing::Test {
  protected:
    void SetUp() override { kvn_test_reset(); }
};

std::vector<std::string> words_of(const char *line)
{
    std::vector<char> buf(line, line + strlen(line) + 1);
    std::vector<std::string> words;
    for (char *w = next_word(buf.data()); w != nullptr; w = next_word(nullptr))
        words.emplace_back(w);
    return words;
}

TEST(NextWord, QuoteAndCommentRules)
{
    struct Case {
        const char *line;
        std::vector<std::string> words;
    } cases[] = {
        {"  show   conf \t", {"show", "conf"}},
        {"server 1 name \"a b\" x", {"server", "1", "name", "a b", "x"}},
        {"x \"\" y", {"x", "", "y"}},
        {"list \"a b\",\"c\" tail", {"list", "\"a b\",\"c\"", "tail"}},
        {"script \"/bin/chk -p 80\",10,5", {"script", "\"/bin/chk -p 80\",10,5"}},
        {"list \"a\",\"b c\" tail", {"list", "\"a\",\"b", "c\"", "tail"}},
        {"say \"unterminated rest of line", {"say", "unterminated rest of line"}},
        {"a//b c", {"a//b", "c"}},
        {"a // comment here", {"a"}},
        {"// only comment", {}},
        {"ab\"cd\" e", {"ab\"cd\"", "e"}},
        {"", {}},
    };
    for (const Case &c : cases)
        EXPECT_EQ(words_of(c.line), c.words) << c.line;
}

TEST(KeywordMatch, PrefixRule)
{
    EXPECT_TRUE(keyword_match("", "server"));
    EXPECT_TRUE(keyword_match("ser", "server"));
    EXPECT_TRUE(keyword_match("server", "server"));
    EXPECT_FALSE(keyword_match("servers", "server"));
    EXPECT_FALSE(keyword_match("x", "server"));
}

TEST(CmdHash, BucketOfHighBytes)
{
    EXPECT_EQ(cmdh_bucket("a"), 'a');
    EXPECT_EQ(cmdh_bucket("\x80"), 896);
    EXPECT_EQ(cmdh_bucket("\xff"), 1023);
}

// A full name reaches its own entry; an abbreviation follows bucket order
// (most recently registered first).
TEST_F(Interpreter, ExactNamesWinAbbreviationsResolveByRegistrationOrder)
{
    struct Case {
        const char *word;
        int argc;
        const char *name;
        CMDHANDLER handler;
    } cases[] = {
        {"sh", 2, "show", cmd_show},
        {"s", 1, "shutdown", cmd_stop},
        {"stop", 1, "stop", cmd_stop},
        {"snapshot", 2, "snapshot", cmd_snapshot},
        {"snapshot-light", 2, "snapshot-light", cmd_snapshot},
        {"snap", 2, "snapshot-full", cmd_snapshot_full},
        {"rms", 2, "rms", cmd_rms},
        {"rmse", 2, "rmsession", cmd_rmsession},
        {"rm", 2, "rmt", cmd_rmt},
        {"ipdb", 2, "ipdb", cmd_ipdb},
        {"ipdb", 1, "ipdb", cmd_ipdb},
        {"ipd", 2, "ipdb6", cmd_ipdb6},
        {"ipdb6", 2, "ipdb6", cmd_ipdb6},
        {"?", 2, "?", cmd_help},
        {"}", 1, "}", cmd_close_block},
        {"gateway", 1, "gateway", cmd_gateway},
    };
    for (const Case &c : cases) {
        CMDENTRY *e = cmdh_lookup(cmdhash, c.word, c.argc);
        ASSERT_NE(e, nullptr) << c.word;
        EXPECT_STREQ(e->name, c.name) << c.word;
        EXPECT_EQ(e->handler, c.handler) << c.word;
    }
    EXPECT_EQ(cmdh_lookup(cmdhash, "stop", 2), nullptr);
    EXPECT_EQ(cmdh_lookup(cmdhash, "hostname", 1)->handler, nullptr);
    EXPECT_EQ(cmdh_lookup(cmdhash, "hostname", 1)->revert, cmd_no_hostname);
    // The `no` form finds its entry the same way.
    EXPECT_EQ(cmdh_lookup(cmdhash, "ipdb", 1)->revert, cmd_no_ipdb);
}

// An exact name further down the bucket than an entry it abbreviates.
TEST_F(Interpreter, ExactNameBehindALongerNameInItsBucket)
{
    CMDHASH *t = cmdh_new();
    cmdh_insert(t, "zz", 2, cmd_exit, nullptr);
    cmdh_insert(t, "zzlong", 2, cmd_log, nullptr);
    cmdh_insert(t, "zz", 3, cmd_hostname, nullptr);
    EXPECT_EQ(cmdh_lookup(t, "zz", 2)->handler, cmd_exit);
    EXPECT_EQ(cmdh_lookup(t, "z", 2)->handler, cmd_log);
    EXPECT_EQ(cmdh_lookup(t, "zz", 3)->handler, cmd_hostname);
    EXPECT_EQ(cmdh_lookup(t, "zzlong", 3), nullptr);
}

TEST_F(Interpreter, ShowConfAbbreviation)
{
    int r = -1;
    std::string out = run_line("sh conf", &r);
    EXPECT_EQ(out.find("invalid command"), std::string::npos);
    EXPECT_TRUE(out.ends_with("kvn# ")) << out;
}

TEST_F(Interpreter, InsertReplacesHandlerButKeepsRevert)
{
    CMDHASH *t = cmdh_new();
    cmdh_insert(t, "zz", 2, cmd_exit, cmd_no_hostname);
    cmdh_insert(t, "zz", 2, cmd_log, nullptr);
    CMDENTRY *e = cmdh_lookup(t, "zz", 2);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->handler, cmd_log);
    EXPECT_EQ(e->revert, cmd_no_hostname);
    EXPECT_EQ(e->next, nullptr);
}

TEST_F(Interpreter, NoAndBangAlone)
{
    EXPECT_EQ(run_line("no"), "kvn# ");
    EXPECT_EQ(run_line("!"), "");
    EXPECT_EQ(run_line("! no"), "");
    EXPECT_EQ(run_line("   "), "kvn# ");
}

TEST_F(Interpreter, BangSuppressesPrompt)
{
    EXPECT_EQ(run_line("! exit"), "please type EOF to exit\n");
    EXPECT_EQ(run_line("exit"), "please type EOF to exit\nkvn# ");
}

TEST_F(Interpreter, BangReloadRunsReloadWithoutPrompt)
{
    // Whatever reload prints, the line ends without a prompt.
    std::string out = run_line("! reload");
    EXPECT_FALSE(out.ends_with("# ")) << out;
    EXPECT_FALSE(out.ends_with("+ ")) << out;
}

TEST_F(Interpreter, ErrorsAreReported)
{
    int r = -1;
    EXPECT_EQ(run_line("stop now", &r), "  ERROR: invalid command (try help)\nkvn# ");
    EXPECT_EQ(r, 0);
    EXPECT_EQ(run_line("no exit", &r), "  ERROR: operation exit not revertable\nkvn# ");
    EXPECT_EQ(r, 0);
    EXPECT_EQ(run_line("frobnicate", &r), "  ERROR: invalid command (try help)\nkvn# ");
    // An entry that exists only for its `no` form.
    EXPECT_EQ(run_line("modules", &r), "  ERROR: invalid command (try help)\nkvn# ");
}

TEST_F(Interpreter, TenWordLineIsIgnored)
{
    int r = -1;
    EXPECT_EQ(run_line("hostname a b c d e f g h i", &r), "kvn# ");
    EXPECT_EQ(r, 1);
    EXPECT_EQ(interp.nodename_set, 0);
    // Nine words reach the lookup (and fail it).
    EXPECT_EQ(run_line("hostname a b c d e f g h"), "  ERROR: invalid command (try help)\nkvn# ");
}

TEST_F(Interpreter, BlocksChangeThePromptAndPrefixLines)
{
    EXPECT_EQ(run_line("set {"), "kvn+ ");
    EXPECT_STREQ(interp.context_command, "set");
    EXPECT_EQ(run_line("sessiontimeout 900"), "kvn+ ");
    EXPECT_EQ(run_line("sessiontimeout 9"), "  ERROR: value 9 out of bounds\nkvn+ ");
    EXPECT_EQ(run_line("}"), "kvn# ");
    EXPECT_STREQ(interp.context_command, "");
    EXPECT_EQ(run_line("show parameters").find("ERROR"), std::string::npos);
}

TEST_F(Interpreter, BlankLineClosesBlock)
{
    run_line("set {");
    EXPECT_EQ(run_line(""), "kvn# ");
    EXPECT_STREQ(interp.context_command, "");
    run_line("set {");
    EXPECT_EQ(run_line("// a comment"), "kvn# ");
    EXPECT_STREQ(interp.context_command, "");
}

TEST_F(Interpreter, LoneCloseBraceWithoutBlock)
{
    int r = -1;
    EXPECT_EQ(run_line("}", &r), "kvn# ");
    EXPECT_EQ(r, 1);
}

TEST_F(Interpreter, HostnameSetsPromptAndNoClearsIt)
{
    EXPECT_EQ(run_line("hostname lb-a"), "lb-a# ");
    EXPECT_EQ(run_line("no hostname"), "kvn# ");
    run_line("hostname " + std::string(80, 'x'));
    EXPECT_EQ(strlen(interp.nodename), 63u);
    // While a file loads, an existing name is kept.
    run_line("hostname keep");
    interp.loading = 1;
    run_line("hostname other");
    interp.loading = 0;
    EXPECT_STREQ(interp.nodename, "keep");
}

TEST_F(Interpreter, ErrorWarningOnEmptyLineAfterConfigErrors)
{
    interp.config_error = 1;
    EXPECT_EQ(run_line(""),
              "*WARNING*: Errors in /etc/kvn.conf, type \"show log\" for details\nkvn# ");
}

TEST_F(Interpreter, HelpTopics)
{
    std::string list = run_line("help");
    EXPECT_TRUE(list.starts_with("available commands, type EOF (^D) to exit:\n"));
    EXPECT_NE(list.find("no <command>"), std::string::npos);
    EXPECT_NE(list.find("vip <ip4>"), std::string::npos);
    EXPECT_NE(run_line("help s").find("server <n> {"), std::string::npos);
    EXPECT_NE(run_line("? ?").find("available help topics:"), std::string::npos);
    EXPECT_NE(run_line("help sh").find("show arphash"), std::string::npos);
    EXPECT_NE(run_line("help c").find("^W"), std::string::npos);
    EXPECT_EQ(run_line("help zzz"),
              "invalid help topic, try \"help ?\" for a list of available topics\nkvn# ");
}

// The command list names every command of the table by its first word;
// `?` is the short form of `help` and shares its line.
TEST_F(Interpreter, HelpListsEveryCommand)
{
    std::string list = run_line("help");
    std::set<std::string> first_words;
    size_t at = 0;
    while ((at = list.find("\n  ", at)) != std::string::npos) {
        at += 3;
        first_words.insert(list.substr(at, list.find_first_of(" \n", at) - at));
    }
    for (int i = 0; i < command_count; i++) {
        if (strcmp(commands[i].name, "?") == 0)
            continue;
        EXPECT_EQ(first_words.count(commands[i].name), 1u) << commands[i].name;
    }
    EXPECT_NE(run_line("help cledit").find("<tab>"), std::string::npos);
}

TEST_F(Interpreter, ClisyncWritesZeroByte)
{
    std::string out = run_line("! clisync");
    EXPECT_EQ(out, std::string(1, '\0'));
}

TEST_F(Interpreter, BitwiseMemcmp)
{
    EXPECT_EQ(run_line("bitwise_memcmp 2001:db8::1 2001:db8::2 126"), "1\nkvn# ");
    EXPECT_EQ(run_line("bitwise_memcmp 2001:db8::1 2001:db8::2 127"), "0\nkvn# ");
    EXPECT_EQ(run_line("bitwise_memcmp 2001:db8::1 2001:db9::1 16"), "1\nkvn# ");
    EXPECT_EQ(run_line("bitwise_memcmp 2001:db8::1 x 16"), "  ERROR: syntax error bitwise_memcmp\nkvn# ");
    EXPECT_EQ(run_line("bitwise_memcmp 2001:db8::1 ::1 129"), "  ERROR: syntax error bitwise_memcmp\nkvn# ");
}

TEST_F(Interpreter, StopPrintsOkAndExitsZero)
{
    EXPECT_EXIT(run_line("stop"), ::testing::ExitedWithCode(0), "");
}

// Pieces of a session's input: every line end (LF, CR, CR LF) ends one
// line, an empty line included; CR LF is one line end even when its two
// bytes arrive in different pieces.
TEST_F(Interpreter, SessionInputIsCutIntoLines)
{
    struct Case {
        const char *what;
        std::vector<std::string> pieces;
        std::string out;
    } cases[] = {
        {"CR LF and LF", {"exit\r\nquit\n"}, "please type EOF to exit\nkvn# please type EOF to exit\nkvn# "},
        {"empty lines", {"exit\n\n\n"}, "please type EOF to exit\nkvn# kvn# kvn# "},
        {"CR alone", {"exit\rquit\r"}, "please type EOF to exit\nkvn# please type EOF to exit\nkvn# "},
        {"CR LF split", {"exit\r", "\nquit\n"}, "please type EOF to exit\nkvn# please type EOF to exit\nkvn# "},
        {"Enter alone", {"\n"}, "kvn# "},
        {"line without its end waits", {"exi", "t"}, ""},
    };
    for (const Case &c : cases) {
        CMDSESSION s;
        session_reset(&s);
        Capture out;
        for (const std::string &p : c.pieces)
            process_command_buffer(&s, p.data(), (int)p.size(), out.f);
        EXPECT_EQ(out.str(), c.out) << c.what;
    }
}

// A line cut at any byte runs once, whole, when its newline arrives.
TEST_F(Interpreter, LineSplitAnywhereRunsWhole)
{
    const std::string line = "set   arprefresh 1200  // the whole line\n";
    for (size_t cut = 0; cut <= line.size(); cut++) {
        params_reset();
        CMDSESSION s;
        session_reset(&s);
        Capture out;
        process_command_buffer(&s, line.data(), (int)cut, out.f);
        process_command_buffer(&s, line.data() + cut, (int)(line.size() - cut), out.f);
        EXPECT_EQ(out.str(), "kvn# ") << cut;
        EXPECT_EQ(param_value(P_ARPREFRESH), 1200) << cut;
        EXPECT_EQ(s.failed, 0) << cut;
    }
}

// A line longer than CMDLINE_MAX or holding a zero byte is refused as a
// whole: nothing of it runs, the next line runs normally.
TEST_F(Interpreter, OverlongOrZeroLineIsRefusedWhole)
{
    const std::string longest = "set arprefresh 1200" + std::string(CMDLINE_MAX - 19, ' ');
    ASSERT_EQ(longest.size(), (size_t)CMDLINE_MAX);
    const std::string refused_long =
        "  ERROR: line longer than " + std::to_string(CMDLINE_MAX) + " characters refused\n";
    struct Case {
        const char *what;
        std::string input;
        std::string out;
        int arprefresh;
        int failed;
    } cases[] = {
        {"longest line", longest + "\n", "kvn# ", 1200, 0},
        {"one more blank", longest + " \n", refused_long + "kvn# ", 300, 1},
        {"long blanks, command at the end", std::string(CMDLINE_MAX, ' ') + "set arprefresh 1200\nexit\n",
         refused_long + "kvn# please type EOF to exit\nkvn# ", 300, 1},
        {"quiet long line", "! " + std::string(CMDLINE_MAX, 'x') + "\n", refused_long, 300, 1},
        {"zero byte", std::string("set arprefresh 12\0" "00\n", 21),
         "  ERROR: line holding a zero byte refused\nkvn# ", 300, 1},
    };
    for (const Case &c : cases) {
        params_reset();
        CMDSESSION *s = new CMDSESSION;
        session_reset(s);
        Capture out;
        // In pieces of the pipe's read size, as a command thread feeds it.
        for (size_t at = 0; at < c.input.size(); at += 9999)
            process_command_buffer(s, c.input.data() + at, (int)std::min<size_t>(9999, c.input.size() - at), out.f);
        EXPECT_EQ(out.str(), c.out) << c.what;
        EXPECT_EQ(param_value(P_ARPREFRESH), c.arprefresh) << c.what;
        EXPECT_EQ(s->failed, c.failed) << c.what;
        delete s;
    }
}

// Each session has its own block: a block one session opened neither
// reaches another session's lines nor the lines of no session, and a
// reset session has none.
TEST_F(Interpreter, BlockBelongsToItsSession)
{
    CMDSESSION *a = new CMDSESSION, *b = new CMDSESSION;
    session_reset(a);
    session_reset(b);
    Capture out;
    EXPECT_EQ(process_session_line(a, "set {", out.f), 1);
    EXPECT_STREQ(a->context_command, "set");
    EXPECT_STREQ(interp.context_command, "");
    EXPECT_EQ(run_line("exit"), "please type EOF to exit\nkvn# ");
    EXPECT_EQ(process_session_line(b, "sessiontimeout 900", out.f), 0);
    EXPECT_EQ(b->failed, 1);
    EXPECT_EQ(process_session_line(a, "sessiontimeout 900", out.f), 1);
    EXPECT_EQ(param_value(P_SESSIONTIMEOUT), 900);
    EXPECT_EQ(out.str(), "kvn+ "
                         "  ERROR: invalid command (try help)\nkvn# "
                         "kvn+ ");
    session_reset(a);
    EXPECT_STREQ(a->context_command, "");
    EXPECT_EQ(a->failed, 0);
    // A block of the lines of no session stays theirs too.
    run_line("set {");
    EXPECT_EQ(process_session_line(b, "exit", out.f), 1);
    EXPECT_STREQ(interp.context_command, "set");
    EXPECT_EQ(run_line("}"), "kvn# ");
    delete a;
    delete b;
}

TEST_F(Interpreter, UnbuiltCommandReportsNotAvailable)
{
    int r = -1;
    EXPECT_EQ(run_line("resync", &r), "  ERROR: command not available\nkvn# ");
    EXPECT_EQ(r, 0);
}

}  // namespace
