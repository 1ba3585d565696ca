// Configuration files: loading (order, errors with file and line, header
// lines, node-specific values, long lines), reload in two passes, remark,
// the save forms with their failures, the writers and the round trip of the
// reference configuration.
#include <gtest/gtest.h>

#include <algorithm>
#include <arpa/inet.h>
#include <csignal>
#include <dirent.h>
#include <cstring>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "command/command_table.h"
#include "command/interpreter.h"
#include "command/log.h"
#include "config/addr.h"
#include "config/config_files.h"
#include "config/config_writer.h"
#include "config/index_registry.h"
#include "config/config_state.h"
#include "config/parameters.h"
#include "daemon/daemon.h"
#include "packet/arp.h"
#include "packet/filter_lists.h"
#include "support/support.h"

namespace {

std::vector<std::string> split_lines(const std::string &text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

// The log messages in order, without time stamp and level.
std::vector<std::string> log_messages()
{
    Capture c;
    show_log(0, nullptr, c.f);
    std::vector<std::string> messages;
    for (const std::string &line : split_lines(c.str()))
        if (line.size() > 24)
            messages.push_back(line.substr(24));  // "  yyyy/mm/dd hh:mm:ss L "
    return messages;
}

bool logged(const std::string &message)
{
    for (const std::string &m : log_messages())
        if (m == message)
            return true;
    return false;
}

// The text after its first n lines.
std::string after_lines(const std::string &text, int n)
{
    size_t pos = 0;
    for (int i = 0; i < n && pos != std::string::npos; i++) {
        pos = text.find('\n', pos);
        if (pos != std::string::npos)
            pos++;
    }
    return pos == std::string::npos ? "" : text.substr(pos);
}

// Only the lines whose first word is one of the given words.
std::string lines_of(const std::string &text, std::initializer_list<const char *> words)
{
    std::string kept;
    for (const std::string &line : split_lines(text))
        for (const char *w : words)
            if (line.compare(0, strlen(w), w) == 0 && line.size() > strlen(w) && line[strlen(w)] == ' ') {
                kept += line + "\n";
                break;
            }
    return kept;
}

class ConfigFiles : public ::testing::Test {
  protected:
    TempRoot root;
    std::string conf, priv, global;

    void SetUp() override
    {
        kvn_test_reset();
        config_files_reset();
        dmn.release_major = 2;
        dmn.release_minor = 7;
        snprintf(dmn.created, sizeof dmn.created, "2024/05/01");
        conf = root.file("/etc/kvn.conf");
        priv = root.file("/etc/kvn.private");
        global = root.file("/etc/kvn.global");
    }
    void TearDown() override
    {
        config_files_reset();
        save_rename_hook = rename;
        interp.loading = 0;
    }
    // A start-up load: loading is already 1 when it begins.
    int startup_load()
    {
        interp.loading = 1;
        return load_config();
    }
};

// ---------------------------------------------------------------------------
// Loading

TEST_F(ConfigFiles, ErrorOnLine12IsLoggedAndLoadingGoesOn)
{
    std::string text = "set arplookup 20\n";
    for (int i = 2; i <= 11; i++)
        text += i % 2 ? "\n" : "// filler\n";
    text += "set sessiontimeout 5\n";  // line 12
    text += "set natscan 5\n";
    write_file(conf, text);
    EXPECT_EQ(startup_load(), 1);
    EXPECT_TRUE(logged("ERROR /etc/kvn.conf line 12: value 5 out of bounds"));
    EXPECT_EQ(param_value(P_NATSCAN), 5);
    EXPECT_EQ(param_value(P_ARPLOOKUP), 20);
    EXPECT_EQ(interp.config_line, 13);
    EXPECT_EQ(interp.config_error, 1);
    EXPECT_EQ(interp.loading, 0);
    EXPECT_EQ(log_messages().back(), "/etc/kvn.conf loaded with ERRORs");
}

TEST_F(ConfigFiles, GlobalThenPrivateThenConfiguration)
{
    write_file(global, "set natscan 7\nset sessiontimeout 700\n");
    write_file(priv, "hostname alpha\nset nosuch 2\nset sessiontimeout 800\n");
    write_file(conf, "hostname beta\nset sessiontimeout 900\n");
    EXPECT_EQ(startup_load(), 1);
    EXPECT_STREQ(interp.nodename, "alpha");
    EXPECT_EQ(param_value(P_NATSCAN), 7);
    EXPECT_EQ(param_value(P_SESSIONTIMEOUT), 900);
    std::vector<std::string> m = log_messages();
    auto at = [&](const std::string &s) { return std::find(m.begin(), m.end(), s) - m.begin(); };
    EXPECT_LT(at("loading /etc/kvn.global"), at("loading /etc/kvn.private"));
    EXPECT_LT(at("loading /etc/kvn.private"), at("ERROR /etc/kvn.conf line 0: parameter nosuch unknown"));
    EXPECT_LT(at("ERROR /etc/kvn.conf line 0: parameter nosuch unknown"), at("loading /etc/kvn.conf"));
    EXPECT_LT(at("loading /etc/kvn.conf"), at("maintaining node specific hostname \"alpha\""));
    EXPECT_LT(at("maintaining node specific hostname \"alpha\""), (long)m.size());
    // A message from the private file does not count as a load error.
    EXPECT_EQ(m.back(), "/etc/kvn.conf successfully loaded");
    EXPECT_EQ(interp.config_error, 0);
}

TEST_F(ConfigFiles, WithoutConfigurationFileThereIsNoFinalLine)
{
    write_file(priv, "hostname alpha\n");
    EXPECT_EQ(startup_load(), 1);
    EXPECT_STREQ(interp.nodename, "alpha");
    for (const std::string &m : log_messages())
        EXPECT_EQ(m.find("loaded"), std::string::npos) << m;
}

TEST_F(ConfigFiles, HeaderLinesAreLogged)
{
    struct Case {
        const char *text;
        std::vector<std::string> logged;  // messages between "loading" and the final line
    } cases[] = {
        {"//        configuration taken Mon Jan  1 00:00:00 2024\n"
         "//        Korvane 1.002 (created 2024/01/01)\n"
         "//        a third comment line\n",
         {"configuration taken Mon Jan  1 00:00:00 2024",
          "configuration saved by Korvane 1.002 (created 2024/01/01)"}},
        {"// x\n//        second\n", {"configuration saved by second"}},
        {"//34567890\n", {}},  // ten characters: nothing after them
        {"hostname h\n//        second line\n", {"configuration saved by second line"}},
        {"set natscan 5 // comment that is long\n", {}},
    };
    for (const Case &c : cases) {
        kvn_test_reset();
        write_file(conf, c.text);
        startup_load();
        std::vector<std::string> m = log_messages();
        auto first = std::find(m.begin(), m.end(), "loading /etc/kvn.conf");
        ASSERT_NE(first, m.end()) << c.text;
        std::vector<std::string> between(first + 1, m.end() - 1);
        EXPECT_EQ(between, c.logged) << c.text;
        EXPECT_EQ(m.back(), "/etc/kvn.conf successfully loaded") << c.text;
    }
}

// Line ends of every system read as line ends; a line with a NUL byte or
// longer than 1022 characters is refused as a whole and reported with its
// number, and nothing of it runs.
TEST_F(ConfigFiles, LinesAreReadWholeOrRefused)
{
    std::string servers = "register servers 1";
    for (int k = 2; k <= 900; k++)
        servers += "," + std::to_string(k);
    const std::string longest = "log " + std::string(1018, 'a');  // 1022 characters: runs whole
    ASSERT_EQ(longest.size(), 1022u);
    struct Case {
        const char *name;
        std::string text;
        int natscan, arprefresh, arplookup;  // the parameters afterwards
        int lines;                           // lines counted
        const char *error;                   // the logged error, or null
    } cases[] = {
        {"LF", "set natscan 5\nset arprefresh 120\n", 5, 120, 10, 2, nullptr},
        {"CR only", "set natscan 5\rset arprefresh 120\r", 5, 120, 10, 2, nullptr},
        {"CRLF inside a block", "set {\r\nnatscan 5\r\narprefresh 120\r\n}\r\nset arplookup 30\r\n", 5, 120, 30, 5,
         nullptr},
        {"no line end at the end", "set natscan 5\r\nset arprefresh 120", 5, 120, 10, 2, nullptr},
        {"CR then an empty line", "set {\rnatscan 5\r\r\narprefresh 120\r\n", 5, 300, 10, 4,
         "ERROR /etc/kvn.conf line 4: invalid command (try help)"},
        {"NUL inside a line", std::string("set arprefresh 120") + '\0' + "0\nset natscan 5\n", 5, 300, 10, 2,
         "ERROR /etc/kvn.conf line 1: invalid NUL byte in line"},
        {"NUL starting a line in a block", std::string("set {\n") + '\0' + "\narprefresh 120\n}\n", 10, 120, 10, 4,
         "ERROR /etc/kvn.conf line 2: invalid NUL byte in line"},
        {"1022 characters", longest + "\nset natscan 6\n", 6, 300, 10, 2, nullptr},
        {"1023 characters", longest + "a\nset natscan 6\n", 6, 300, 10, 2,
         "ERROR /etc/kvn.conf line 1: line too long (more than 1022 characters)"},
        {"900 servers on a line", "set natscan 6\n" + servers + "\r\nset arplookup 30\n", 6, 300, 30, 3,
         "ERROR /etc/kvn.conf line 2: line too long (more than 1022 characters)"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        kvn_test_reset();
        log_reset();
        write_file(conf, c.text);
        startup_load();
        EXPECT_EQ(param_value(P_NATSCAN), c.natscan);
        EXPECT_EQ(param_value(P_ARPREFRESH), c.arprefresh);
        EXPECT_EQ(param_value(P_ARPLOOKUP), c.arplookup);
        EXPECT_EQ(interp.config_line, c.lines);
        EXPECT_EQ(cfg.servers[1].registered, 0);
        EXPECT_EQ(interp.context_command[0], '\0');
        std::vector<std::string> m = log_messages();
        if (c.error != nullptr) {
            EXPECT_TRUE(logged(c.error));
            EXPECT_EQ(m.back(), "/etc/kvn.conf loaded with ERRORs");
        } else {
            EXPECT_EQ(m.back(), "/etc/kvn.conf successfully loaded");
        }
    }
}

// During a reload a refused line stops pass 1, before anything changed.
TEST_F(ConfigFiles, RefusedLineFailsTheReloadInPassOne)
{
    write_file(conf, "set natscan 5\n");
    startup_load();
    struct Case {
        std::string text;
        const char *shown;
    } cases[] = {
        {std::string("set natscan 7\nset arprefresh 120") + '\0' + "0\n",
         "  /etc/kvn.conf line 2: invalid NUL byte in line\n"},
        {"set natscan 7\n" + std::string(1100, 'x') + "\n",
         "  /etc/kvn.conf line 2: line too long (more than 1022 characters)\n"},
    };
    for (const Case &c : cases) {
        write_file(conf, c.text);
        int result = 1;
        std::string out = run_line("reload", &result);
        EXPECT_EQ(result, 0);
        EXPECT_EQ(out, std::string(c.shown) + "  ERROR: unable to reload, restart required\nkvn# ");
        EXPECT_EQ(param_value(P_NATSCAN), 5);
        EXPECT_EQ(param_value(P_ARPREFRESH), 300);
    }
}

TEST_F(ConfigFiles, BlockEndsAtEmptyLine)
{
    write_file(conf, "set {\nnatscan 5\n\nsessiontimeout 900\n");
    startup_load();
    EXPECT_EQ(param_value(P_NATSCAN), 5);
    EXPECT_EQ(param_value(P_SESSIONTIMEOUT), 600);  // outside the block: no command
    EXPECT_TRUE(logged("ERROR /etc/kvn.conf line 4: invalid command (try help)"));
}

// A file whose last block has no closing line: the block ends with the
// file, so neither the next file nor the operator's next command nor the
// teardown of a reload runs inside it.
TEST_F(ConfigFiles, BlockEndsWithItsFile)
{
    write_file(global, "set {\nnatscan 5\n");
    write_file(priv, "set arplookup 30\n");
    write_file(conf, "server 1 {\nipaddr 203.0.113.10\nport 80\n}\nregister server 1\n"
                     "target 1 {\nipaddr 203.0.113.101\n}\nregister target 1\ntarget 1 {\nport 80");
    startup_load();
    EXPECT_EQ(param_value(P_NATSCAN), 5);
    EXPECT_EQ(param_value(P_ARPLOOKUP), 30) << "the private line ran inside the global file's block";
    EXPECT_EQ(interp.context_command[0], '\0');
    EXPECT_EQ(run_line("show xyz"), "  ERROR: item xyz unknown, type show ? for list\nkvn# ");

    int result = 0;
    EXPECT_EQ(run_line("reload", &result), "kvn# ");
    EXPECT_EQ(result, 1);
    EXPECT_EQ(cfg.servers[1].registered, 1);
    EXPECT_EQ(cfg.targets[1].registered, 1);
    EXPECT_EQ(interp.context_command[0], '\0');
}

TEST_F(ConfigFiles, CheckWarningsMakeTheLoadFail)
{
    SERVER &s = cfg.servers[1];
    ASSERT_TRUE(parse_ipv4("192.0.2.10", s.ipaddr));
    s.registered = s.enabled = 1;
    write_file(conf, "set natscan 5\n");
    startup_load();
    EXPECT_TRUE(logged("ERROR /etc/kvn.conf line 1: WARNING: server 1 has no matching network"));
    EXPECT_EQ(log_messages().back(), "/etc/kvn.conf loaded with ERRORs");
    EXPECT_EQ(interp.config_error, 1);
}

// Replaces the handler of one command entry for the life of a test.
struct SwapHandler {
    CMDENTRY *entry;
    CMDHANDLER saved;
    SwapHandler(const char *name, int argc, CMDHANDLER h)
    {
        entry = cmdh_lookup(cmdhash, name, argc);
        saved = entry->handler;
        entry->handler = h;
    }
    ~SwapHandler() { entry->handler = saved; }
};

std::vector<std::string> modules_lines;
int record_modules(int, char **argv, FILE *)
{
    modules_lines.emplace_back(argv[1]);
    return 1;
}

TEST_F(ConfigFiles, DefaultModuleChainAtStartUpOnly)
{
    SwapHandler swap("modules", 2, record_modules);
    modules_lines.clear();
    write_file(conf, "set natscan 5\n");
    startup_load();
    ASSERT_EQ(modules_lines, std::vector<std::string>{"vrrp,arp,ping,hc,master,slb,tnat,nat,rt"});
    int result = 0;
    run_line("reload", &result);
    EXPECT_EQ(result, 1);
    EXPECT_EQ(modules_lines.size(), 1u);
}

// ---------------------------------------------------------------------------
// reload

TEST_F(ConfigFiles, UnchangedFilesReload)
{
    run_line("hostname node-a");
    run_line("remark \"pair one\"");
    run_line("set natscan 5");
    run_line("save all");
    startup_load();
    log_reset();
    int result = 0;
    std::string out = run_line("reload", &result);
    EXPECT_EQ(result, 1);
    EXPECT_EQ(out, "node-a# ");
    std::vector<std::string> m = log_messages();
    std::vector<std::string> expect = {"CLI reload pass 1 started", "CLI reload pass 2 started", "CLI reload finished"};
    std::vector<std::string> got;
    for (const std::string &s : m)
        if (s.rfind("CLI reload", 0) == 0)
            got.push_back(s);
    EXPECT_EQ(got, expect);
    EXPECT_EQ(param_value(P_NATSCAN), 5);
    EXPECT_STREQ(conffiles.remark, "pair one");
    EXPECT_EQ(conffiles.reload_out, nullptr);
    EXPECT_EQ(interp.reload_pass, 0);
    EXPECT_EQ(interp.loading, 0);
    EXPECT_EQ(interp.config_error, 0);
}

TEST_F(ConfigFiles, ReloadFailingInPass1)
{
    struct Case {
        const char *global, *priv, *conf;
        const char *shown;  // the line on the reload output
    } cases[] = {
        {nullptr, nullptr, "set natscan 5\nset {\nnosuch 5\n}\nset arplookup 30\n",
         "  /etc/kvn.conf line 3: parameter nosuch unknown\n"},
        {"set nosuch 1\n", nullptr, "set arplookup 30\n", "  /etc/kvn.global: parameter nosuch unknown\n"},
        {nullptr, "set {\nnosuch 1\n", "set arplookup 30\n", "  /etc/kvn.private: parameter nosuch unknown\n"},
    };
    for (const Case &c : cases) {
        kvn_test_reset();
        unlink(global.c_str());
        unlink(priv.c_str());
        if (c.global)
            write_file(global, c.global);
        if (c.priv)
            write_file(priv, c.priv);
        write_file(conf, c.conf);
        int result = 1;
        std::string out = run_line("reload", &result);
        EXPECT_EQ(result, 0) << c.shown;
        EXPECT_EQ(out, std::string(c.shown) + "  ERROR: unable to reload, restart required\nkvn# ") << c.shown;
        EXPECT_EQ(interp.context_command[0], '\0') << c.shown;
        EXPECT_EQ(interp.config_error, 1);
        EXPECT_EQ(conffiles.reload_out, nullptr);
        EXPECT_EQ(interp.reload_pass, 0);
        EXPECT_EQ(interp.loading, 0);
        EXPECT_EQ(param_value(P_ARPLOOKUP), 10) << "the line after the failing one ran";
        EXPECT_TRUE(logged("unable to reload, restart required"));
        EXPECT_FALSE(logged("CLI reload pass 2 started"));
    }
}

// One configuration file serves both nodes of a pair; each node's private
// file holds its own real addresses and priority. A reload reads both
// files again: the private values stay and the shared file's other values
// are not changes. A changed private value, or a changed shared value on
// a node without a private file, still fails.
TEST_F(ConfigFiles, NodeSpecificValuesSurviveReload)
{
    const std::string shared = "vrrp {\nvrid 7\npriority 100\nnetwork 1\n}\n"
                               "network 1 {\naddr 203.0.113.0\nmask 255.255.255.0\nreal 203.0.113.2\n"
                               "virt 203.0.113.1\nmask6 64\nreal6 2001:db8:1::2\nvirt6 2001:db8:1::1\n}\n"
                               "register network 1\nenable network 1\n";
    const std::string node_b = "vrrp priority 200\nnetwork 1 real 203.0.113.3\nnetwork 1 real6 2001:db8:1::3\n";
    struct Case {
        const char *name;
        std::string priv_before, priv_after, conf_after;
        const char *failure;  // reload output line, or null for success
    } cases[] = {
        {"private values kept", node_b, node_b, shared, nullptr},
        {"private real changed", node_b, "network 1 real 203.0.113.4\n", shared,
         "  /etc/kvn.private: invalid network real address change during reload\n"},
        {"private priority changed", node_b, "vrrp priority 201\n", shared,
         "  /etc/kvn.private: invalid VRRP priority change during reload\n"},
        {"no private file, shared real changed", "", "", shared.substr(0, shared.find("real 203")) + "real 203.0.113.9" +
             shared.substr(shared.find("real 203") + 16),
         "  /etc/kvn.conf line 9: invalid network real address change during reload\n"},
        {"no private file, shared priority changed", "", "", "vrrp priority 99\n" + shared,
         "  /etc/kvn.conf line 1: invalid VRRP priority change during reload\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        kvn_test_reset();
        config_files_reset();
        unlink(priv.c_str());
        if (!c.priv_before.empty())
            write_file(priv, c.priv_before);
        write_file(conf, shared);
        startup_load();
        ASSERT_EQ(interp.config_error, 0);
        ASSERT_EQ(cfg.networks[1].enabled, 1);
        const uint8_t real_before = cfg.networks[1].real[3];
        const uint8_t real6_before = cfg.networks[1].real6[15];
        const int32_t priority_before = cfg.vrrp.priority;
        EXPECT_EQ(priority_before, c.priv_before.empty() ? 100 : 200);

        unlink(priv.c_str());
        if (!c.priv_after.empty())
            write_file(priv, c.priv_after);
        write_file(conf, c.conf_after);
        log_reset();
        int result = -1;
        std::string out = run_line("reload", &result);
        if (c.failure == nullptr) {
            EXPECT_EQ(result, 1);
            EXPECT_EQ(out, "kvn# ");
            EXPECT_TRUE(logged("maintaining node specific real address 203.0.113.3 of network 1"));
            EXPECT_TRUE(logged("maintaining node specific real6 address of network 1"));
            EXPECT_TRUE(logged("maintaining node specific VRRP priority 200"));
            EXPECT_TRUE(logged("CLI reload finished"));
        } else {
            EXPECT_EQ(result, 0);
            EXPECT_EQ(out, std::string(c.failure) + "  ERROR: unable to reload, restart required\nkvn# ");
        }
        EXPECT_EQ(cfg.networks[1].real[3], real_before);
        EXPECT_EQ(cfg.networks[1].real6[15], real6_before);
        EXPECT_EQ(cfg.vrrp.priority, priority_before);
    }
}

// Pass 2 fails only when something changed after pass 1 checked the files;
// a handler that refuses in pass 2 alone stands in for that here.
int targets_refused_in_pass2(int argc, char **argv, FILE *out)
{
    if (interp.reload_pass == 2 && strcmp(argv[2], "targets") == 0)
        return cmd_error("invalid target spec %s\n", argv[3]);
    return cmd_server(argc, argv, out);
}

TEST_F(ConfigFiles, ReloadFailingInPass2LeavesNoBlockOpen)
{
    write_file(conf, "server 1 {\nipaddr 203.0.113.10\n}\nregister server 1\n");
    startup_load();
    ASSERT_EQ(cfg.servers[1].registered, 1);
    write_file(conf, "server 1 {\nipaddr 203.0.113.10\ntargets 1\n}\nregister server 1\n");
    SwapHandler swap("server", 4, targets_refused_in_pass2);
    int result = 1;
    std::string out = run_line("reload", &result);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(out, "  /etc/kvn.conf line 3: invalid target spec 1\n"
                   "  ERROR: unable to reload in pass 2, restart required\nkvn# ");
    EXPECT_EQ(interp.context_command[0], '\0');
    EXPECT_EQ(interp.config_error, 1);
    EXPECT_TRUE(logged("unable to reload in pass 2, restart required"));
}

// The running configuration of the reload tests: a network, two servers
// on two targets, all enabled.
const std::vector<std::string> running_lines = {
    "network 1 {", "addr 203.0.113.0", "mask 255.255.255.0", "real 203.0.113.2", "}",      // 1-5
    "register network 1", "enable network 1",                                              // 6-7
    "server 1 {", "ipaddr 203.0.113.20", "port 80", "protocol tcp", "targets 1,2", "}",    // 8-13
    "server 2 {", "ipaddr 203.0.113.21", "port 443", "protocol tcp", "targets 1,2", "}",   // 14-19
    "register servers 1,2", "enable servers 1,2",                                          // 20-21
    "target 1 {", "ipaddr 203.0.113.121", "agent 8888,10,5", "}",                          // 22-25
    "target 2 {", "ipaddr 203.0.113.122", "ping 10,3", "}",                                // 26-29
    "register targets 1,2", "enable targets 1,2",                                          // 30-31
};

std::string joined(const std::vector<std::string> &lines)
{
    std::string text;
    for (const std::string &l : lines)
        text += l + "\n";
    return text;
}

// A mistake in a server or target line fails pass 1, whatever in pass 2 it
// would have met: the running servers and targets stay registered, enabled
// and announced.
TEST_F(ConfigFiles, ServerOrTargetMistakeFailsPassOneAndKeepsTheServices)
{
    write_file(conf, joined(running_lines));
    startup_load();
    ASSERT_EQ(interp.config_error, 0) << log_messages().back();
    const std::string conf_before = after_lines(run_line("show conf"), 1);
    const std::string vips_before = run_line("show vips");
    ASSERT_NE(vips_before.find("203.0.113.20 "), std::string::npos) << vips_before;
    ASSERT_NE(vips_before.find("203.0.113.21 "), std::string::npos) << vips_before;
    struct Case {
        std::vector<std::pair<int, std::string>> changes;  // line number, new text
        const char *shown;                                 // the line on the reload output
    } cases[] = {
        {{{17, "protokoll tcp"}}, "  /etc/kvn.conf line 17: unknown server subcommand protokoll\n"},
        {{{12, "targets 0"}}, "  /etc/kvn.conf line 12: invalid target spec 0\n"},
        {{{28, "pnig 10,3"}}, "  /etc/kvn.conf line 28: unknown target subcommand pnig\n"},
        // The records keep their settings through a reload: the running
        // agent check excludes agent6.
        {{{24, "agent6 8888,10,5"}}, "  /etc/kvn.conf line 24: already agent active for target 1\n"},
        {{{15, "ipaddr 203.0.113.20"}, {16, "port 80"}},
         "  /etc/kvn.conf line 20: rejected, server 1 already registered with same parameters\n"},
        {{{21, "enable servers 1,2\nunregister server 2"}},
         "  /etc/kvn.conf line 22: cannot unregister enabled server 2 (disable first)\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.shown);
        std::vector<std::string> lines = running_lines;
        for (const auto &[number, text] : c.changes)
            lines[number - 1] = text;
        write_file(conf, joined(lines));
        log_reset();
        int result = 1;
        std::string out = run_line("reload", &result);
        EXPECT_EQ(result, 0);
        EXPECT_EQ(out, std::string(c.shown) + "  ERROR: unable to reload, restart required\nkvn# ");
        EXPECT_FALSE(logged("CLI reload pass 2 started"));
        for (int n : {1, 2}) {
            EXPECT_EQ(cfg.servers[n].enabled, 1) << n;
            EXPECT_EQ(cfg.targets[n].enabled, 1) << n;
        }
        EXPECT_EQ(server_registry->count, 2);
        EXPECT_EQ(server_registry->enabled, 2);
        EXPECT_EQ(target_registry->count, 2);
        EXPECT_EQ(target_registry->enabled, 2);
        EXPECT_EQ(run_line("show vips"), vips_before);
        EXPECT_EQ(after_lines(run_line("show conf"), 1), conf_before);
    }
    // The files as they run reload in full.
    write_file(conf, joined(running_lines));
    int result = 0;
    EXPECT_EQ(run_line("reload", &result), "kvn# ");
    EXPECT_EQ(result, 1);
    EXPECT_EQ(after_lines(run_line("show conf"), 1), conf_before);
}

// A reload that fails in pass 1 has changed nothing, whatever the lines
// above the failing one set.
TEST_F(ConfigFiles, FailedPassOneChangesNothing)
{
    write_file(conf, "remark \"as running\"\nipdeny 2001:db8::7\n" + joined(running_lines));
    startup_load();
    ASSERT_EQ(interp.config_error, 0) << log_messages().back();
    const std::string conf_before = after_lines(run_line("show conf"), 1);
    const std::string vips_before = run_line("show vips");
    const std::string modules_before = run_line("show modules");
    uint8_t a16[16];
    const uint8_t a4[4] = {192, 0, 2, 77};
    ipv4_mapped(a16, a4);
    const std::string head = "remark \"from the new file\"\n"
                             "hostname other\n"
                             "set natscan 7\n"
                             "set {\narprefresh 120\n}\n"
                             "modules arp,ping\n"
                             "ipallow ::ffff:192.0.2.9\n"
                             "macdeny 02:00:00:00:00:09\n"
                             "no ipdeny\n"
                             "arp 192.0.2.77\n"
                             "log \"written by the new file\"\n"
                             "network 1 name renamed\n" +
                             joined(running_lines) +
                             "disable server 2\nunregister server 2\n"
                             "target 3 {\nipaddr 203.0.113.123\n}\nregister target 3\nenable target 3\n";
    const int failing = (int)std::count(head.begin(), head.end(), '\n') + 1;
    write_file(conf, head + "network 1 mask 255.255.255.128\n");
    log_reset();
    int result = 1;
    std::string out = run_line("reload", &result);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(out, "  /etc/kvn.conf line " + std::to_string(failing) +
                       ": invalid network mask change during reload\n"
                       "  ERROR: unable to reload, restart required\nkvn# ");
    EXPECT_EQ(after_lines(run_line("show conf"), 1), conf_before);
    EXPECT_EQ(run_line("show vips"), vips_before);
    EXPECT_EQ(run_line("show modules"), modules_before);
    EXPECT_STREQ(conffiles.remark, "as running");
    EXPECT_EQ(interp.nodename_set, 0);
    EXPECT_EQ(param_value(P_NATSCAN), 10);
    EXPECT_EQ(param_value(P_ARPREFRESH), 300);
    EXPECT_EQ(fl_count(FL_IPALLOW), 0);
    EXPECT_EQ(fl_count(FL_MACDENY), 0);
    EXPECT_EQ(fl_count(FL_IPDENY), 1);
    EXPECT_FALSE(arp_has_entry(a16));
    EXPECT_FALSE(logged("written by the new file"));
    EXPECT_STREQ(cfg.networks[1].name, "");
    EXPECT_EQ(cfg.servers[2].enabled, 1);
    EXPECT_EQ(cfg.targets[3].registered, 0);
    EXPECT_EQ(target_registry->count, 2);
    run_line("no ipdeny");  // the lists outlive the test's reset
}

// A target that was registered but not enabled before the reload has no
// address entry; enabling it in pass 2 must make one even though its
// address did not change.
TEST_F(ConfigFiles, TargetEnabledByReloadGetsItsAddressEntry)
{
    const std::string head = "network 1 {\naddr 203.0.113.0\nmask 255.255.255.0\nreal 203.0.113.2\n}\n"
                             "register network 1\nenable network 1\n"
                             "target 1 {\nipaddr 203.0.113.101\nping 10,3\n}\nregister target 1\n";
    write_file(conf, head);
    startup_load();
    uint8_t a16[16];
    const uint8_t a4[4] = {203, 0, 113, 101};
    ipv4_mapped(a16, a4);
    ASSERT_EQ(cfg.targets[1].registered, 1);
    ASSERT_FALSE(arp_has_entry(a16));
    write_file(conf, head + "enable target 1\n");
    int result = 0;
    run_line("reload", &result);
    EXPECT_EQ(result, 1);
    EXPECT_EQ(cfg.targets[1].enabled, 1);
    EXPECT_TRUE(arp_has_entry(a16));
}

TEST_F(ConfigFiles, ReloadInsideAFileIsRefused)
{
    write_file(conf, "set natscan 5\nreload\nset arplookup 30\n");
    int result = 1;
    std::string out = run_line("reload", &result);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(out,
              "  /etc/kvn.conf line 2: reload not allowed while a configuration file is loading\n"
              "  ERROR: unable to reload, restart required\nkvn# ");
    // At start-up the line is reported and loading goes on.
    kvn_test_reset();
    startup_load();
    EXPECT_TRUE(logged("ERROR /etc/kvn.conf line 2: reload not allowed while a configuration file is loading"));
    EXPECT_EQ(param_value(P_ARPLOOKUP), 30);
}

TEST_F(ConfigFiles, ReloadKeepsShadowCopies)
{
    TARGET &t = cfg.targets[5];
    ASSERT_TRUE(parse_ipv4("198.51.100.5", t.ipaddr));
    SERVER &s = cfg.servers[1024];
    s.port = htons(8080);
    write_file(conf, "set natscan 5\n");
    int result = 0;
    run_line("reload", &result);
    EXPECT_EQ(result, 1);
    EXPECT_EQ(memcmp(cfg.shadow_targets[5].ipaddr, t.ipaddr, 4), 0);
    EXPECT_EQ(cfg.shadow_servers[1024].port, htons(8080));
}

TEST_F(ConfigFiles, SessionsSurviveReloadOnlyWhenUnchanged)
{
    auto prepare = [] {
        kvn_test_reset();
        SERVER &s = cfg.servers[2];
        parse_ipv4("192.0.2.10", s.ipaddr);
        s.targets[s.ntargets++] = 4;
        s.backups[s.nbackups++] = 6;
        parse_ipv4("192.0.2.40", cfg.targets[4].ipaddr);
        parse_ipv6("2001:db8::40", cfg.targets[4].ipaddr6);
        parse_ipv4("192.0.2.60", cfg.targets[6].ipaddr);
        for (int n = 1; n <= MAXSERVER; n++)
            cfg.shadow_servers[n] = cfg.servers[n];
        for (int n = 1; n <= MAXTARGET; n++)
            cfg.shadow_targets[n] = cfg.targets[n];
    };
    struct Case {
        const char *name;
        void (*change)();
        int server, target;
        bool survives;
    } cases[] = {
        {"unchanged", [] {}, 2, 4, true},
        {"unchanged backup", [] {}, 2, 6, true},
        {"target in neither list", [] {}, 2, 5, false},
        {"server address changed", [] { parse_ipv4("192.0.2.11", cfg.servers[2].ipaddr); }, 2, 4, false},
        {"server IPv6 added", [] { parse_ipv6("2001:db8::10", cfg.servers[2].ipaddr6); }, 2, 4, false},
        {"target IPv6 changed", [] { parse_ipv6("2001:db8::41", cfg.targets[4].ipaddr6); }, 2, 4, false},
        {"target dropped from list", [] { cfg.servers[2].ntargets = 0; }, 2, 4, false},
        {"port change alone keeps it", [] { cfg.servers[2].port = htons(81); }, 2, 4, true},
        {"out of range", [] {}, 0, 4, false},
    };
    for (const Case &c : cases) {
        prepare();
        c.change();
        EXPECT_EQ(reload_session_survives(c.server, c.target), c.survives) << c.name;
    }
}

// ---------------------------------------------------------------------------
// remark

TEST_F(ConfigFiles, Remark)
{
    run_line("remark \"two words\"");
    EXPECT_STREQ(conffiles.remark, "two words");
    EXPECT_EQ(conffiles.remark_set, 1);
    run_line("remark " + std::string(70, 'r'));
    EXPECT_EQ(std::string(conffiles.remark), std::string(63, 'r'));
    run_line("remark \"\"");
    EXPECT_EQ(conffiles.remark_set, 0);
    run_line("remark again");
    int result = 0;
    run_line("no remark", &result);
    EXPECT_EQ(result, 1);
    EXPECT_EQ(conffiles.remark_set, 0);
    EXPECT_STREQ(conffiles.remark, "");
}

// ---------------------------------------------------------------------------
// save

// Every text setting the writer puts into a file must load back as the
// same text. The tokenizer has no escape, so a text with a double quote
// cannot be quoted: the commands refuse what a saved file could not hold,
// and the setting keeps its value.
TEST_F(ConfigFiles, TextsASavedFileCannotHoldAreRefused)
{
    struct Case {
        const char *line;
        const char *text;  // as it reaches the command
    } refused[] = {
        {"remark abc\"def", "abc\"def"},
        {"hostname \"node a\",b", "\"node a\",b"},
        {"server 1 name \"web front\",b", "\"web front\",b"},
        {"server 1 plugin \"/bin/cat -u\",x", "\"/bin/cat -u\",x"},
        {"target 1 name \"web one\",b", "\"web one\",b"},
        {"target 1 alert /bin/true\"down", "/bin/true\"down"},
        {"target 1 upalert /bin/true\"up", "/bin/true\"up"},
        {"network 1 name \"inside lan\",b", "\"inside lan\",b"},
        {"interface 1 name \"lan one\",b", "\"lan one\",b"},
        {"interface 1 init a\"b", "a\"b"},
        {"interface 1 alert a\"b", "a\"b"},
        {"interface 1 upalert a\"b", "a\"b"},
        {"gateway alert a\"b", "a\"b"},
        {"gateway upalert a\"b", "a\"b"},
        {"vrrp mscript a\"b", "a\"b"},
        {"vrrp bscript a\"b", "a\"b"},
    };
    const std::string before = after_lines(run_line("show conf"), 1);
    for (const Case &c : refused) {
        int result = 1;
        EXPECT_EQ(run_line(c.line, &result), "  ERROR: text " + std::string(c.text) + " cannot be saved (double quotes)\nkvn# ")
            << c.line;
        EXPECT_EQ(result, 0) << c.line;
    }
    EXPECT_EQ(after_lines(run_line("show conf"), 1), before);
    EXPECT_EQ(cfg.servers[1].name[0], '\0');
    EXPECT_EQ(cfg.targets[1].alert[0], '\0');
    EXPECT_EQ(cfg.interfaces[1].init[0], '\0');
    EXPECT_EQ(cfg.gateway.alert[0], '\0');
    EXPECT_EQ(cfg.vrrp.mscript[0], '\0');
    EXPECT_EQ(conffiles.remark_set, 0);
}

// What the commands accept is saved in a form that loads back unchanged,
// quotes inside bare words and texts that begin like a comment included.
TEST_F(ConfigFiles, SavedTextsLoadBack)
{
    const char *lines[] = {
        "remark \"two words, one remark\"",
        "hostname node\"a",
        "interface 1 {", "name lan\"0", "access vpn", "init \"/bin/true init lan\"", "}", "register interface 1",
        "server 1 {", "ipaddr 203.0.113.30", "name \"//not a comment\"", "plugin x\"y", "}", "register server 1",
        "target 1 {", "ipaddr 203.0.113.130", "name say\"cheese", "alert \"/bin/true $name$ down\"", "}",
        "register target 1",
    };
    run_line(DEFAULT_MODULES_LINE);  // as a start-up leaves it
    for (const char *l : lines)
        ASSERT_EQ(run_line(l).find("ERROR"), std::string::npos) << l;
    ASSERT_STREQ(cfg.servers[1].name, "//not a comment");
    run_line("save");
    const std::string saved = after_lines(read_file(conf), 2);
    kvn_test_reset();
    config_files_reset();
    startup_load();
    EXPECT_EQ(interp.config_error, 0) << log_messages().back();
    EXPECT_STREQ(conffiles.remark, "two words, one remark");
    EXPECT_STREQ(interp.nodename, "node\"a");
    EXPECT_STREQ(cfg.interfaces[1].name, "lan\"0");
    EXPECT_STREQ(cfg.interfaces[1].init, "/bin/true init lan");
    EXPECT_STREQ(cfg.servers[1].name, "//not a comment");
    EXPECT_STREQ(cfg.servers[1].plugin, "x\"y");
    EXPECT_STREQ(cfg.targets[1].name, "say\"cheese");
    EXPECT_STREQ(cfg.targets[1].alert, "/bin/true $name$ down");
    run_line("save");
    EXPECT_EQ(after_lines(read_file(conf), 2), saved);
}

// Whatever a seed file of the configuration-file fuzzer (odd line ends,
// NUL bytes, long lines, quotes in texts) leaves loaded, `save` writes a
// file every line of which loads, and which saves to the same text again.
TEST_F(ConfigFiles, EveryCorpusFileSavesInAFormThatLoadsBack)
{
    std::vector<std::string> files;
    const std::string dir = std::string(KVN_SOURCE_DIR) + "/fuzz/config_corpus";
    if (DIR *d = opendir(dir.c_str())) {
        while (struct dirent *e = readdir(d))
            // The seed of the fuzz harness's deny list ends the process
            // (stop, shutdown) when loaded without that list.
            if (e->d_name[0] != '.' && strcmp(e->d_name, "denied") != 0)
                files.push_back(dir + "/" + e->d_name);
        closedir(d);
    }
    ASSERT_GE(files.size(), 10u);
    for (const std::string &f : files) {
        SCOPED_TRACE(f);
        kvn_test_reset();
        config_files_reset();
        write_file(conf, read_file(f));
        startup_load();
        run_line("save");
        const std::string first = after_lines(read_file(conf), 2);
        kvn_test_reset();
        config_files_reset();
        log_reset();
        startup_load();
        // No line of the saved file is refused (the check may still warn
        // about what the seed configured).
        for (const std::string &m : log_messages())
            EXPECT_TRUE(m.rfind("ERROR", 0) != 0 || m.find(": WARNING: ") != std::string::npos) << m << "\n" << first;
        run_line("save");
        EXPECT_EQ(after_lines(read_file(conf), 2), first);
    }
}

TEST_F(ConfigFiles, SaveForms)
{
    struct Case {
        const char *line;
        bool conf, priv;
    } cases[] = {
        {"save", true, false},      {"wr", true, false},          {"save conf", true, false},
        {"save c", true, false},    {"save private", false, true}, {"save pri", false, true},
        {"save all", true, true},
    };
    for (const Case &c : cases) {
        unlink(conf.c_str());
        unlink(priv.c_str());
        int result = 0;
        std::string out = run_line(c.line, &result);
        EXPECT_EQ(result, 1) << c.line;
        std::string expect = std::string(c.conf ? "  saved /etc/kvn.conf\n" : "") +
                             (c.priv ? "  saved /etc/kvn.private\n" : "") + "kvn# ";
        EXPECT_EQ(out, expect) << c.line;
        EXPECT_EQ(access(conf.c_str(), F_OK) == 0, c.conf) << c.line;
        EXPECT_EQ(access(priv.c_str(), F_OK) == 0, c.priv) << c.line;
        EXPECT_NE(access((conf + ".tmp").c_str(), F_OK), 0) << c.line;
    }
    EXPECT_EQ(read_file(conf).rfind("//        configuration taken ", 0), 0u);
    EXPECT_EQ(read_file(priv).rfind("//        private configuration data ", 0), 0u);
}

TEST_F(ConfigFiles, UnknownSaveInstruction)
{
    int result = 0;
    EXPECT_EQ(run_line("save xyz", &result), "  ERROR: unknown save instruction\nkvn# ");
    EXPECT_EQ(result, 1);
}

TEST_F(ConfigFiles, SaveToUnwritableLocation)
{
    // etc/ is a plain file: nothing can be created below it (as root too).
    std::string etc = root.file("/etc");
    ASSERT_EQ(rmdir(etc.c_str()), 0);
    write_file(etc, "not a directory\n");
    int result = 0;
    EXPECT_EQ(run_line("save private", &result),
              "  ERROR: problem saving private configuration, please check (errno=20)\nkvn# ");
    EXPECT_EQ(result, 1);
    EXPECT_EQ(run_line("save", &result), "  ERROR: problem saving configuration, please check (errno=20)\nkvn# ");
    EXPECT_EQ(result, 0);
    EXPECT_EQ(run_line("save all", &result),
              "  ERROR: problem saving configuration, please check (errno=20)\n"
              "  ERROR: problem saving private configuration, please check (errno=20)\nkvn# ");
    EXPECT_EQ(result, 0);
}

int failing_rename(const char *, const char *)
{
    errno = EXDEV;
    return -1;
}

TEST_F(ConfigFiles, FailedRenameLeavesTheOldFile)
{
    write_file(conf, "set natscan 9\n");
    save_rename_hook = failing_rename;
    int result = 1;
    EXPECT_EQ(run_line("save", &result), "  ERROR: problem saving configuration, please check (errno=18)\nkvn# ");
    EXPECT_EQ(result, 0);
    EXPECT_EQ(read_file(conf), "set natscan 9\n");
    EXPECT_NE(access((conf + ".tmp").c_str(), F_OK), 0);
}

TEST_F(ConfigFiles, FullDiskLeavesTheOldFile)
{
    // A file size limit makes the write fail part way, as a full disk would.
    write_file(conf, "set natscan 9\n");
    run_line("remark \"" + std::string(60, 'x') + "\"");
    run_line("hostname " + std::string(60, 'h'));
    struct rlimit old;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    struct rlimit small = {150, old.rlim_max};
    void (*old_handler)(int) = signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    int result = 1;
    std::string out = run_line("save", &result);
    setrlimit(RLIMIT_FSIZE, &old);
    signal(SIGXFSZ, old_handler);
    EXPECT_EQ(out, "  ERROR: problem saving configuration, please check (errno=27)\n" + std::string(60, 'h') + "# ");
    EXPECT_EQ(result, 0);
    EXPECT_EQ(read_file(conf), "set natscan 9\n");
    EXPECT_NE(access((conf + ".tmp").c_str(), F_OK), 0);
}

TEST_F(ConfigFiles, SaveKeepsModeAndSymbolicLink)
{
    std::string real = root.file("/etc/real.private");
    write_file(real, "old\n");
    ASSERT_EQ(chmod(real.c_str(), 0600), 0);
    ASSERT_EQ(symlink(real.c_str(), priv.c_str()), 0);
    run_line("hostname node-b");
    run_line("save private");
    struct stat st;
    ASSERT_EQ(lstat(priv.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    ASSERT_EQ(stat(real.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_NE(read_file(real).find("hostname  node-b\n"), std::string::npos);
}

// ---------------------------------------------------------------------------
// The writers

TEST_F(ConfigFiles, WriterHeadAndTail)
{
    run_line("hostname \"my node\"");
    run_line("remark \"lab pair\"");
    run_line("set sessiontimeout 900");
    run_line("set natscan 5");
    run_line("save");
    std::string text = read_file(conf);
    std::vector<std::string> lines = split_lines(text);
    ASSERT_GE(lines.size(), 5u);
    EXPECT_EQ(lines[0].rfind("//        configuration taken ", 0), 0u);
    EXPECT_EQ(lines[0].size(), 30u + 24u);  // ctime text without its newline
    EXPECT_EQ(lines[1], "//        Korvane 2.007 (created 2024/05/01)");
    EXPECT_EQ(lines[2], "hostname  \"my node\"");
    EXPECT_EQ(lines[3], "remark    \"lab pair\"");
    EXPECT_NE(text.find("set       {\n          natscan 5\n          sessiontimeout 900\n}         \n"),
              std::string::npos)
        << text;
    EXPECT_EQ(lines.back(), "//        end of configuration");
    EXPECT_LT(text.find("remark"), text.find("set       {"));
}

TEST_F(ConfigFiles, InterfaceAndNetworkLines)
{
    cfg.interfaces[2].registered = cfg.interfaces[2].enabled = 1;
    cfg.registered_interfaces = cfg.enabled_interfaces = 1;
    for (int n : {1, 4, 7})
        cfg.networks[n].registered = 1;
    cfg.networks[4].enabled = 1;
    cfg.registered_networks = 3;
    cfg.enabled_networks = 1;
    Capture c;
    write_configuration(c.f);
    EXPECT_EQ(lines_of(c.str(), {"register", "enable"}),
              "register  interface 2\n"
              "enable    interface 2\n"
              "register  networks 1,4,7\n"
              "enable    network 4\n");

    for (int n = 1; n <= MAXINTERFACE; n++)
        cfg.interfaces[n].registered = 1;
    cfg.registered_interfaces = MAXINTERFACE;
    cfg.enabled_interfaces = 0;
    cfg.interfaces[2].enabled = 0;
    Capture all;
    write_configuration(all.f);
    std::string expect = "register  interfaces 1";
    for (int n = 2; n <= MAXINTERFACE; n++)
        expect += "," + std::to_string(n);
    EXPECT_EQ(lines_of(all.str(), {"register"}).substr(0, expect.size() + 1), expect + "\n");
}

TEST_F(ConfigFiles, ServerAndTargetLines)
{
    struct Case {
        const char *name;
        void (*setup)();
        const char *lines;
    } cases[] = {
        {"17 servers with one key each",
         [] {
             for (int n = 1; n <= 17; n++) {
                 uint8_t a[4] = {192, 0, 2, (uint8_t)n};
                 memcpy(cfg.servers[n].ipaddr, a, 4);
                 run_line("register server " + std::to_string(n));
             }
             run_line("enable servers 1,2,3");
         },
         "register  servers 1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16\n"
         "register  server 17\n"
         "enable    servers 1,2,3\n"},
        {"one server, one key",
         [] {
             parse_ipv4("192.0.2.5", cfg.servers[5].ipaddr);
             run_line("commit server 5");
         },
         "register  server 5\nenable    server 5\n"},
        {"one server with two keys counts two entries",
         [] {
             parse_ipv4("192.0.2.5", cfg.servers[5].ipaddr);
             parse_ipv6("2001:db8::5", cfg.servers[5].ipaddr6);
             run_line("register server 5");
         },
         "register  servers 5\n"},
        {"gslb server holds no key but is written",
         [] {
             cfg.servers[7].gslb = GSLB_ENABLE;
             run_line("register server 7");
         },
         "register  servers 7\n"},
        {"33 targets",
         [] {
             for (int n = 1; n <= 33; n++) {
                 uint8_t a[4] = {198, 51, 100, (uint8_t)n};
                 memcpy(cfg.targets[n].ipaddr, a, 4);
                 run_line("register target " + std::to_string(n));
             }
             run_line("enable target 33");
         },
         "register  targets 1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16\n"
         "register  targets 17,18,19,20,21,22,23,24,25,26,27,28,29,30,31,32\n"
         "register  target 33\n"
         "enable    target 33\n"},
        {"nothing registered", [] {}, ""},
    };
    for (const Case &c : cases) {
        kvn_test_reset();
        c.setup();
        Capture out;
        write_configuration(out.f);
        EXPECT_EQ(lines_of(out.str(), {"register", "enable"}), c.lines) << c.name;
    }
}

TEST_F(ConfigFiles, RegistryCountsFollowTheRegistries)
{
    // A dual-stack server with a second port holds four keys.
    SERVER &s = cfg.servers[3];
    parse_ipv4("192.0.2.3", s.ipaddr);
    parse_ipv6("2001:db8::3", s.ipaddr6);
    s.port2 = htons(443);
    run_line("register server 3");
    parse_ipv4("192.0.2.4", cfg.servers[4].ipaddr);
    run_line("commit server 4");
    TARGET &t = cfg.targets[9];
    parse_ipv6("2001:db8::9", t.ipaddr6);
    run_line("register target 9");
    int entries = -1, enabled = -1;
    registry_counts(REGKIND_SERVER, &entries, &enabled);
    EXPECT_EQ(entries, 5);
    EXPECT_EQ(enabled, 1);
    registry_counts(REGKIND_TARGET, &entries, &enabled);
    EXPECT_EQ(entries, 1);
    EXPECT_EQ(enabled, 0);
}

TEST_F(ConfigFiles, PrivateWriter)
{
    run_line("hostname alpha");
    cfg.vrrp.priority = 200;
    NETWORK &a = cfg.networks[1];
    a.registered = 1;
    parse_ipv4("192.0.2.2", a.real);
    NETWORK &b = cfg.networks[3];
    b.registered = 1;
    parse_ipv4("198.51.100.2", b.real);
    parse_ipv6("2001:db8::2", b.real6);
    NETWORK &unregistered = cfg.networks[4];
    parse_ipv4("203.0.113.2", unregistered.real);
    run_line("save private");
    std::string file = read_file(priv);
    EXPECT_EQ(file.rfind("//        private configuration data ", 0), 0u);
    EXPECT_EQ(after_lines(file, 1),
              "//        Korvane 2.007 (created 2024/05/01)\n"
              "hostname  alpha\n"
              "vrrp      priority 200\n"
              "network   1 real 192.0.2.2\n"
              "network   3 real 198.51.100.2\n"
              "network   3 real6 2001:db8::2\n"
              "//        end of private configuration data\n");

    std::string shown = run_line("show private");
    std::string expect;
    for (const std::string &line : split_lines(after_lines(file, 1)))
        expect += "  " + line + "\n";
    EXPECT_EQ(after_lines(shown, 1), expect + "alpha# ");
    EXPECT_STREQ(conffiles.lineformat, LINEFMT_SCREEN);
}

TEST_F(ConfigFiles, PrivateFileRealAddressWinsAtLoad)
{
    // The hostname rule as loaded from real files; network real addresses
    // follow the same rule in the network command.
    write_file(priv, "hostname node-a\n");
    write_file(conf, "hostname node-b\n");
    startup_load();
    EXPECT_STREQ(interp.nodename, "node-a");
    EXPECT_TRUE(logged("maintaining node specific hostname \"node-a\""));
}

// ---------------------------------------------------------------------------
// Round trip of the reference configuration

TEST_F(ConfigFiles, ReferenceConfigurationRoundTrip)
{
    std::string reference = read_file(KVN_SOURCE_DIR "/tests/config/reference.conf");
    ASSERT_FALSE(reference.empty());
    write_file(conf, reference);
    startup_load();
    // Every line loads without a message, the final check included.
    EXPECT_EQ(interp.config_error, 0);
    // The interfaces' script threads log as they start, so the load's own
    // message need not be the last one.
    EXPECT_TRUE(logged("/etc/kvn.conf successfully loaded"));
    for (const std::string &m : log_messages())
        EXPECT_NE(m.rfind("ERROR", 0), 0u) << m;
    // The register and enable lines took effect: interfaces and networks
    // by count, servers and targets in their registries (20 server keys,
    // a GSLB server holding none).
    EXPECT_EQ(cfg.registered_interfaces, 5);
    EXPECT_EQ(cfg.enabled_interfaces, 3);
    EXPECT_EQ(cfg.registered_networks, 3);
    EXPECT_EQ(cfg.enabled_networks, 2);
    int entries = 0, enabled = 0;
    registry_counts(REGKIND_SERVER, &entries, &enabled);
    EXPECT_EQ(entries, 20);
    EXPECT_EQ(enabled, 17);
    registry_counts(REGKIND_TARGET, &entries, &enabled);
    EXPECT_EQ(entries, 16);
    EXPECT_EQ(enabled, 12);
    EXPECT_EQ(cfg.natoutside.network, 2);
    EXPECT_TRUE(cfg.gateway.configured && cfg.gateway.active4 && cfg.gateway.active6);

    // Saving gives the reference text back, apart from the two header lines.
    run_line("save");
    std::string first = read_file(conf);
    EXPECT_EQ(after_lines(first, 2), after_lines(reference, 2));

    // Loading the saved text into a fresh state and saving again changes
    // nothing but the time stamp.
    kvn_test_reset();
    config_files_reset();
    startup_load();
    EXPECT_EQ(interp.config_error, 0);
    EXPECT_TRUE(logged("/etc/kvn.conf successfully loaded"));
    run_line("save");
    std::string second = read_file(conf);
    EXPECT_EQ(after_lines(second, 1), after_lines(first, 1));

    // `show conf` is the same text with the screen line format.
    std::string shown = run_line("show conf");
    std::string expect;
    for (const std::string &line : split_lines(after_lines(second, 1)))
        expect += "  " + line + "\n";
    std::string prompt = std::string(interp.nodename_set ? interp.nodename : "kvn") + "# ";
    EXPECT_EQ(shown.rfind("  //        configuration taken ", 0), 0u);
    EXPECT_EQ(after_lines(shown, 1), expect + prompt);
    std::string run = run_line("show run");
    EXPECT_EQ(after_lines(run, 1), after_lines(shown, 1));
}

}  // namespace
