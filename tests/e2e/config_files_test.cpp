// Configuration files through the real daemon: start-up errors with file
// and line, node-specific values from the private file, `kvn reload` from
// the command line, and `save` through a control session loading back at
// the next start. No traffic is involved: the configurations name only
// interfaces with vpn access (no device) or none. Each test has its own
// KVN_ROOT and instance number; every daemon is started in the
// foreground by this process and ended by its pid.
#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <poll.h>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "support/kvn_process.h"
#include "support/support.h"

namespace {

constexpr int DEADLINE_MS = 15000;

int wait_exit(pid_t pid)
{
    return ::wait_exit(pid, DEADLINE_MS);
}

// Runs kvn with the arguments and the input; returns its standard output.
std::string run_kvn(const std::vector<std::string> &args, const std::string &input, int *code = nullptr)
{
    int pin[2], pout[2];
    if (pipe(pin) != 0 || pipe(pout) != 0)
        return "";
    pid_t pid = fork();
    if (pid == 0) {
        dup2(pin[0], 0);
        dup2(pout[1], 1);
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 2);
        close_range(3, ~0U, 0);
        exec_kvn(args);
    }
    close(pin[0]);
    close(pout[1]);
    if (!input.empty() && write(pin[1], input.data(), input.size()) != (ssize_t)input.size())
        ADD_FAILURE() << "cannot feed kvn";
    close(pin[1]);
    std::string text;
    struct pollfd p = {pout[0], POLLIN, 0};
    while (poll(&p, 1, DEADLINE_MS) > 0) {
        char buf[4096];
        ssize_t n = read(pout[0], buf, sizeof buf);
        if (n <= 0)
            break;
        text.append(buf, n);
    }
    close(pout[0]);
    int rc = wait_exit(pid);
    if (code != nullptr)
        *code = rc;
    return text;
}

std::vector<std::string> split_lines(const std::string &text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
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

// True when the host has one of the addresses configured: the daemon
// refuses to enable a network whose real or virt address the host holds.
bool host_holds(std::initializer_list<const char *> addresses)
{
    struct ifaddrs *list = nullptr;
    if (getifaddrs(&list) != 0)
        return false;
    bool found = false;
    for (struct ifaddrs *a = list; a != nullptr; a = a->ifa_next) {
        if (a->ifa_addr == nullptr || a->ifa_addr->sa_family != AF_INET)
            continue;
        char text[INET_ADDRSTRLEN];
        inet_ntop(AF_INET, &reinterpret_cast<struct sockaddr_in *>(a->ifa_addr)->sin_addr, text, sizeof text);
        for (const char *want : addresses)
            found = found || strcmp(text, want) == 0;
    }
    freeifaddrs(list);
    return found;
}

bool contains(const std::string &text, const std::string &part) { return text.find(part) != std::string::npos; }

class ConfigFilesE2E : public ::testing::Test {
  protected:
    TempRoot root;
    pid_t daemon_pid = -1;
    int inst = 0;

    void SetUp() override
    {
        if (geteuid() != 0)
            GTEST_SKIP() << "needs root";  // the daemon starts only as root
        signal(SIGPIPE, SIG_IGN);
        if (host_holds({"192.0.2.252", "192.0.2.253", "198.51.100.252", "198.51.100.253", "203.0.113.202",
                        "203.0.113.203", "203.0.113.204"}))
            GTEST_SKIP() << "the host holds an address the configurations give the daemon";
    }
    void TearDown() override { stop(); }

    std::string n() const { return std::to_string(inst); }
    std::string conf() const { return root.file("/etc/kvn" + n() + ".conf"); }
    std::string priv() const { return root.file("/etc/kvn" + n() + ".private"); }
    std::string shown_conf() const { return "/etc/kvn" + n() + ".conf"; }
    // The daemon's whole log: with -d every message is copied to its
    // standard error, which goes to this file.
    std::string daemon_log() const { return read_file(root.path + "/daemon" + n() + ".log"); }

    std::string control(const std::string &lines) { return run_kvn({"control", n()}, lines); }

    // Starts the instance in the foreground and waits until it answers.
    void start()
    {
        daemon_pid = spawn_kvn_daemon({"-d", "start", n()}, root.path + "/daemon" + n() + ".log");
        ASSERT_TRUE(kvn_daemon_ready(daemon_pid, inst, root, DEADLINE_MS)) << "daemon did not come up: "
                                                                           << daemon_log();
    }
    void stop()
    {
        if (daemon_pid > 0) {
            kill(daemon_pid, SIGTERM);
            wait_exit(daemon_pid);
            daemon_pid = -1;
        }
    }
    // The answer to an empty line.
    std::string empty_line_answer() { return control("\n"); }
    // `show conf` without its time-stamp line and the prompt.
    std::string shown()
    {
        std::string text = control("show conf\n");
        size_t prompt = text.rfind('\n');
        return after_lines(text.substr(0, prompt + 1), 1);
    }
};

TEST_F(ConfigFilesE2E, StartupErrorsCarryFileAndLine)
{
    inst = 61;
    std::string text = "hostname node61\n";
    for (int line = 2; line <= 11; line++)
        text += line % 2 ? "\n" : "// filler\n";
    text += "set sessiontimeout 5\n";  // line 12
    text += "set natscan 5\n";
    write_file(conf(), text);
    write_file(priv(), "set nosuch 1\n");
    start();
    std::string log = control("show log\nshow startuplog\n");
    EXPECT_TRUE(contains(log, "ERROR /etc/kvn61.conf line 12: value 5 out of bounds\n")) << log;
    EXPECT_TRUE(contains(log, "ERROR /etc/kvn61.conf line 0: parameter nosuch unknown\n")) << log;
    EXPECT_TRUE(contains(log, "/etc/kvn61.conf loaded with ERRORs\n")) << log;
    // The lines after the failing one were loaded.
    EXPECT_TRUE(contains(control("show conf\n"), "  set       natscan 5\n"));
    // A session is reminded of the errors at every empty line.
    EXPECT_EQ(empty_line_answer(), "*WARNING*: Errors in /etc/kvn61.conf, type \"show log\" for details\nnode61# ");
}

TEST_F(ConfigFilesE2E, PrivateFileWinsAndReloadKeepsIt)
{
    inst = 62;
    write_file(priv(), "hostname alpha\n"
                       "vrrp      priority 200\n"
                       "network   1 real 203.0.113.204\n"
                       "network   1 real6 2001:db8:1::3\n");
    write_file(conf(), "hostname beta\n"
                       "vrrp {\n vrid 7\n priority 100\n network 1\n}\n"
                       "network 1 {\n addr 203.0.113.0\n mask 255.255.255.0\n real 203.0.113.202\n virt 203.0.113.203\n"
                       " mask6 64\n real6 2001:db8:1::2\n virt6 2001:db8:1::1\n}\n"
                       "register network 1\nenable network 1\n");
    start();
    std::string log = daemon_log();
    for (const char *m : {"maintaining node specific hostname \"alpha\"", "maintaining node specific VRRP priority 200",
                          "maintaining node specific real address 203.0.113.204 of network 1",
                          "maintaining node specific real6 address of network 1", "/etc/kvn62.conf successfully loaded"})
        EXPECT_TRUE(contains(log, m)) << m << "\n" << log;
    std::string before = shown();
    EXPECT_TRUE(contains(before, "            priority 200\n")) << before;
    EXPECT_TRUE(contains(before, "            real 203.0.113.204\n")) << before;
    EXPECT_TRUE(contains(before, "            real6 2001:db8:1::3\n")) << before;
    EXPECT_EQ(after_lines(control("show private\n"), 2), "  hostname  alpha\n"
                                                        "  vrrp      priority 200\n"
                                                        "  network   1 real 203.0.113.204\n"
                                                        "  network   1 real6 2001:db8:1::3\n"
                                                        "  //        end of private configuration data\n"
                                                        "alpha# ");

    // A reload reads the same two files: the node-specific values stay and
    // do not count as changes.
    std::string out = run_kvn({"reload", n()}, "");
    EXPECT_FALSE(contains(out, "ERROR")) << out;
    log = daemon_log();
    EXPECT_TRUE(contains(log, "CLI reload finished")) << out << log;
    EXPECT_EQ(shown(), before);
}

TEST_F(ConfigFilesE2E, ReloadFromTheCommandLine)
{
    inst = 63;
    auto text = [](const std::string &mask, bool second_server) {
        std::string t = "interface 1 {\n name vpn63\n access vpn\n}\nregister interface 1\nenable interface 1\n"
                        "network 1 {\n addr 203.0.113.0\n mask " +
                        mask +
                        "\n real 203.0.113.202\n interface 1\n}\n"
                        "register network 1\nenable network 1\n"
                        "server 1 {\n ipaddr 203.0.113.10\n port 80\n target 1\n}\n";
        if (second_server)
            t += "server 2 {\n ipaddr 203.0.113.11\n port 443\n target 1\n}\nregister servers 1,2\nenable servers 1,2\n";
        else
            t += "register server 1\nenable server 1\n";
        t += "target 1 {\n ipaddr 203.0.113.101\n ping 10,3\n}\nregister target 1\nenable target 1\n";
        return t;
    };
    write_file(conf(), text("255.255.255.0", false));
    start();
    EXPECT_TRUE(contains(daemon_log(), "/etc/kvn63.conf successfully loaded")) << daemon_log();
    std::string before = shown();

    // Unchanged files reload.
    std::string out = run_kvn({"reload", n()}, "");
    EXPECT_EQ(out, "");
    EXPECT_TRUE(contains(daemon_log(), "CLI reload finished")) << daemon_log();
    EXPECT_EQ(shown(), before);

    // A changed mask fails in pass 1 and changes nothing.
    auto count = [](const std::string &text, const std::string &part) {
        size_t k = 0;
        for (size_t pos = text.find(part); pos != std::string::npos; pos = text.find(part, pos + 1))
            k++;
        return k;
    };
    size_t pass2 = count(daemon_log(), "CLI reload pass 2 started");
    write_file(conf(), text("255.255.255.128", false));
    out = run_kvn({"reload", n()}, "");
    EXPECT_EQ(out, "  /etc/kvn63.conf line 9: invalid network mask change during reload\n"
                   "  ERROR: unable to reload, restart required\n");
    EXPECT_TRUE(contains(daemon_log(), "unable to reload, restart required")) << daemon_log();
    EXPECT_EQ(count(daemon_log(), "CLI reload pass 2 started"), pass2);
    EXPECT_EQ(shown(), before);
    EXPECT_EQ(empty_line_answer(), "*WARNING*: Errors in /etc/kvn63.conf, type \"show log\" for details\nkvn# ");

    // An added server is created, registered and enabled in pass 2.
    write_file(conf(), text("255.255.255.0", true));
    out = run_kvn({"reload", n()}, "");
    EXPECT_FALSE(contains(out, "ERROR")) << out;
    std::string servers = control("show servers\n");
    std::vector<std::string> rows = split_lines(servers);
    // Two heading lines, then one row per server.
    ASSERT_EQ(rows.size(), 5u) << servers;
    EXPECT_TRUE(contains(rows[2], "203.0.113.10") && contains(rows[2], " e ")) << servers;
    EXPECT_TRUE(contains(rows[3], "203.0.113.11") && contains(rows[3], "443") && contains(rows[3], " e ")) << servers;
    std::string after = shown();
    EXPECT_TRUE(contains(after, "  register  servers 1,2\n  enable    servers 1,2\n")) << after;
}

TEST_F(ConfigFilesE2E, SavedConfigurationLoadsBackIdentically)
{
    inst = 64;
    std::string reference = read_file(KVN_SOURCE_DIR "/tests/config/reference.conf");
    ASSERT_FALSE(reference.empty());
    write_file(conf(), reference);
    start();
    EXPECT_TRUE(contains(daemon_log(), "/etc/kvn64.conf successfully loaded")) << daemon_log();
    std::string before = shown();

    std::string out = control("save\n");
    EXPECT_EQ(out, "  saved /etc/kvn64.conf\nlb node# ");
    std::string saved = read_file(conf());
    EXPECT_EQ(saved.rfind("//        configuration taken ", 0), 0u) << saved;
    // The file is `show conf` in the file line format.
    std::string expect;
    for (const std::string &line : split_lines(after_lines(saved, 1)))
        expect += "  " + line + "\n";
    EXPECT_EQ(before, expect);
    // The reference comes back but for the two header lines.
    EXPECT_EQ(after_lines(saved, 2), after_lines(reference, 2));

    stop();
    start();
    EXPECT_EQ(shown(), before);
}

// A mistake in a server line of the reloaded file fails the reload in its
// first pass, before the running servers are touched: the session sees the
// failure, and `show vips` and `show servers` list the services as before.
TEST_F(ConfigFilesE2E, MistakeInServerLineKeepsServicesUp)
{
    inst = 65;
    auto text = [](const char *protocol_line) {
        return std::string("interface 1 {\n name vpn65\n access vpn\n}\nregister interface 1\nenable interface 1\n"
                           "network 1 {\n addr 203.0.113.0\n mask 255.255.255.0\n real 203.0.113.202\n interface 1\n}\n"
                           "register network 1\nenable network 1\n"
                           "server 1 {\n ipaddr 203.0.113.10\n port 80\n protocol tcp\n target 1\n}\n"
                           "server 2 {\n ipaddr 203.0.113.11\n port 443\n ") +
               protocol_line +
               "\n target 1\n}\nregister servers 1,2\nenable servers 1,2\n"
               "target 1 {\n ipaddr 203.0.113.101\n ping 10,3\n}\nregister target 1\nenable target 1\n";
    };
    write_file(conf(), text("protocol tcp"));
    start();
    ASSERT_TRUE(contains(daemon_log(), "/etc/kvn65.conf successfully loaded")) << daemon_log();
    const std::string vips = control("show vips\n");
    ASSERT_TRUE(contains(vips, "203.0.113.10 ") && contains(vips, "203.0.113.11 ")) << vips;
    const std::string servers = control("show servers\n");
    const std::string before = shown();

    write_file(conf(), text("protokoll tcp"));  // line 24
    std::string out = control("reload\n");
    EXPECT_EQ(out, "  /etc/kvn65.conf line 24: unknown server subcommand protokoll\n"
                   "  ERROR: unable to reload, restart required\nkvn# ");
    std::string log = daemon_log();
    EXPECT_TRUE(contains(log, "unable to reload, restart required")) << log;
    EXPECT_FALSE(contains(log, "CLI reload pass 2 started")) << log;
    EXPECT_EQ(control("show vips\n"), vips);
    EXPECT_EQ(control("show servers\n"), servers);
    EXPECT_EQ(shown(), before);

    // Mended, the file reloads and the services stay listed.
    write_file(conf(), text("protocol tcp"));
    out = control("reload\n");
    EXPECT_EQ(out, "kvn# ");
    EXPECT_TRUE(contains(daemon_log(), "CLI reload finished")) << daemon_log();
    EXPECT_EQ(control("show vips\n"), vips);
    EXPECT_EQ(shown(), before);
}

}  // namespace
