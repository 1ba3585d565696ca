// Server plugins in selection: what each kind of answer does, the request
// lines, a plugin that never answers, one that has ended (the write into
// its pipe fails with EPIPE and the test process lives on), one that ends
// after reading, the VRRP state report, and exchanges from several threads
// at once beside the bandwidth sampler.
#include <atomic>
#include <csignal>
#include <cstdio>
#include <mutex>
#include <poll.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <vector>

#include "balance/bandwidth.h"
#include "health/scripts.h"
#include "select_fixture.h"

namespace {

class Plugin : public SelectTest {
  protected:
    TempRoot root;

    void TearDown() override
    {
        pid_t pid = cfg.servers[1].plugin_pid;
        plugin_stop(1);
        if (pid > 0)
            wait_exit(pid, 5000);
    }

    // Targets 1, 2 and 4 operational, 3 down; server 1 lists 1, 2, 3 with
    // backup 4, round robin.
    void standard_setup()
    {
        for (int t : {1, 2, 3, 4})
            up_target(t);
        cfg.targets[3].operational = 0;
        list_server(1, {1, 2, 3}, {4});
    }

    // Writes the plugin script and starts it for server 1; returns its pid.
    pid_t start(const std::string &body)
    {
        std::string path = root.file("/plugin.sh");
        write_file(path, body);
        snprintf(cfg.servers[1].plugin, sizeof cfg.servers[1].plugin, "exec /bin/sh %s", path.c_str());
        EXPECT_EQ(plugin_start(1), 1);
        return cfg.servers[1].plugin_pid;
    }

    // The plugin's stored pid and streams are gone and the process was
    // killed with SIGKILL.
    void expect_removed(pid_t pid)
    {
        EXPECT_EQ(cfg.servers[1].plugin_pid, 0);
        EXPECT_EQ(cfg.servers[1].plugin_in, nullptr);
        EXPECT_EQ(cfg.servers[1].plugin_out, nullptr);
        EXPECT_EQ(wait_exit(pid, 5000), 128 + SIGKILL);
    }
};

TEST_F(Plugin, EachAnswerDecides)
{
    struct Row {
        const char *answer;
        int target;
    };
    const Row rows[] = {
        {"0", 1},       // the method decides: rr starts at target 1
        {"-1", -1},     // drop the frame
        {"-5", -1},
        {"2", 2},       // an eligible target
        {"2 and more", 2},
        {"3", 4},       // a down target: the backups
        {"5000", 4},    // no such target number
        {"7", 4},       // not registered
        {"abc", 1},     // no number is 0
    };
    for (const Row &r : rows) {
        TearDown();
        kvn_test_reset();
        standard_setup();
        pid_t pid = start(std::string("while read -r l; do echo '") + r.answer + "'; done\n");
        ASSERT_GT(pid, 0);
        EXPECT_EQ(pick(1, client_frame("192.0.2.1")), r.target) << r.answer;
        // An answer of any kind keeps the plugin.
        EXPECT_EQ(cfg.servers[1].plugin_pid, pid) << r.answer;
    }
    EXPECT_EQ(log_count("plugin disabled"), 0);
}

TEST_F(Plugin, RequestLines)
{
    standard_setup();
    std::string seen = root.file("/seen");
    start("while read -r l; do printf '%s\\n' \"$l\" >> " + seen + "; echo 0; done\n");
    FrameBuilder v6;
    v6.eth("06:00:cb:00:71:0a", "02:00:00:00:00:02").ipv6("2001:db8::1", "2001:db8::10").udp(5353, 53);
    FrameBuilder icmp;
    icmp.eth("06:00:cb:00:71:0a", "02:00:00:00:00:02").ipv4("192.0.2.1", "203.0.113.10").icmp_echo(ICMP_ECHO, 1, 1);
    // A non-first fragment: its first bytes are payload, not ports.
    Frame frag = client_frame("192.0.2.1");
    frag[ETH_HDRLEN + IP4_FRAG + 1] = 0x10;
    Frame arp = FrameBuilder()
                    .eth("ff:ff:ff:ff:ff:ff", "02:00:00:00:00:02")
                    .arp(ARP_REQUEST, "02:00:00:00:00:02", "192.0.2.1", "00:00:00:00:00:00", "203.0.113.10")
                    .build();
    for (const Frame &f : {client_frame("192.0.2.1"), v6.build(), icmp.build(), frag, arp})
        pick(1, f);
    select_target(1, nullptr, 0, nullptr);
    EXPECT_EQ(read_file(seen),
              "TCP 192.0.2.1 40000 203.0.113.10 80\n"
              "UDP6 2001:db8::1 5353 2001:db8::10 53\n"
              "UNKNOWN 192.0.2.1 0 203.0.113.10 0\n"
              "TCP 192.0.2.1 0 203.0.113.10 0\n"
              "UNKNOWN\n"
              "UNKNOWN\n");
}

TEST_F(Plugin, ExchangeIsLoggedInItsDebugScope)
{
    standard_setup();
    start("while read -r l; do echo 2; done\n");
    run_line("set debugscope 3");
    EXPECT_EQ(pick(1, client_frame("192.0.2.1")), 2);
    for (const char *m : {"trying to communicate with plugin, server 1", "plugin request data sent, server 1",
                          "fflush executed, waiting for data, server 1", "data received, server 1"})
        EXPECT_EQ(log_count(m), 1) << m;
}

// A plugin that never answers: the exchange gives up after about a second,
// the plugin goes, and the method takes over for this and every later frame.
TEST_F(Plugin, SilentPluginIsRemovedAfterItsTimeout)
{
    standard_setup();
    pid_t pid = start("while read -r l; do :; done\n");
    EXPECT_EQ(pick(1, client_frame("192.0.2.1")), 1);
    EXPECT_EQ(log_count("plugin disabled (server 1)"), 1);
    expect_removed(pid);
    EXPECT_EQ(pick(1, client_frame("192.0.2.1")), 2);
    EXPECT_EQ(log_count("plugin disabled (server 1)"), 1);
}

// Waits until the child pid has ended, without reaping it.
bool ended(pid_t pid)
{
    for (int i = 0; i < 500; i++) {
        siginfo_t info{};
        if (waitid(P_PID, (id_t)pid, &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid)
            return true;
        struct pollfd none {};
        poll(&none, 0, 10);
    }
    return false;
}

TEST_F(Plugin, EndedPluginFailsWithEpipeAndTheProcessLivesOn)
{
    standard_setup();
    // Whatever the test runner set, SIGPIPE would end the process now...
    signal(SIGPIPE, SIG_DFL);
    pid_t pid = start("exit 0\n");
    // ...and starting a plugin makes a write into a closed pipe harmless.
    struct sigaction sa;
    sigaction(SIGPIPE, nullptr, &sa);
    EXPECT_EQ(sa.sa_handler, SIG_IGN);
    ASSERT_TRUE(ended(pid));
    run_line("set debugscope 3");
    EXPECT_EQ(pick(1, client_frame("192.0.2.1")), 1);
    EXPECT_EQ(log_count("trying to communicate with plugin, server 1"), 1);
    EXPECT_EQ(log_count("plugin request data sent"), 0);  // the write itself failed
    EXPECT_EQ(log_count("plugin disabled (server 1)"), 1);
    EXPECT_EQ(cfg.servers[1].plugin_pid, 0);
    EXPECT_EQ(wait_exit(pid, 5000), 0);  // it ended by itself
}

TEST_F(Plugin, PluginEndingAfterTheRequestIsRemoved)
{
    standard_setup();
    pid_t pid = start("read -r l; exit 0\n");
    run_line("set debugscope 3");
    EXPECT_EQ(pick(1, client_frame("192.0.2.1")), 1);
    EXPECT_EQ(log_count("plugin request data sent, server 1"), 1);
    EXPECT_EQ(log_count("data received"), 0);
    EXPECT_EQ(log_count("plugin disabled (server 1)"), 1);
    EXPECT_EQ(cfg.servers[1].plugin_pid, 0);
    wait_exit(pid, 5000);
}

TEST_F(Plugin, VrrpStateReport)
{
    standard_setup();
    pid_t pid = start("while read -r l; do if [ \"$l\" = MASTER ]; then echo 1; else echo 0; fi; done\n");
    plugin_report_vrrp_state("MASTER");
    EXPECT_EQ(log_count("WARNING: response not 0 at vrrp state plugin for server 1"), 1);
    plugin_report_vrrp_state("BACKUP");
    EXPECT_EQ(log_count("WARNING: response not 0 at vrrp state plugin for server 1"), 1);
    EXPECT_EQ(cfg.servers[1].plugin_pid, pid);
    // A disabled server's plugin is not told.
    cfg.servers[1].enabled = 0;
    plugin_report_vrrp_state("MASTER");
    EXPECT_EQ(log_count("WARNING: response not 0"), 1);
}

// Selections from two packet threads (serialised by a stand-in for the
// session table lock), VRRP reports, `rndtest` draws, the sampler and the
// traffic counters, all at once. Each thread's answer must come back to
// that thread: the plugin answers a request with its source port, which
// is the target number the thread expects.
TEST_F(Plugin, ConcurrentExchangesKeepTheirAnswers)
{
    for (int t : {1, 2})
        up_target(t);
    list_server(1, {1, 2}).method = METHOD_BW;
    start("while read -r p s sp d dp; do case \"$p\" in MASTER|BACKUP) echo 0;; *) echo \"$sp\";; esac; done\n");
    std::mutex table;
    std::atomic<int> wrong{0};
    auto selector = [&](uint16_t sport) {
        Frame f = client_frame("192.0.2.1", sport);
        FRAMEINFO fi;
        frame_parse(f.data(), (int)f.size(), &fi);
        for (int i = 0; i < 100; i++) {
            std::lock_guard<std::mutex> hold(table);
            if (select_target(1, f.data(), (int)f.size(), &fi) != sport)
                wrong++;
        }
    };
    std::vector<std::thread> threads;
    threads.emplace_back(selector, 1);
    threads.emplace_back(selector, 2);
    threads.emplace_back([] {
        for (int i = 0; i < 50; i++)
            plugin_report_vrrp_state(i % 2 ? "MASTER" : "BACKUP");
    });
    threads.emplace_back([&] {
        for (int i = 0; i < 200; i++)
            if (select_random(1, -1) <= 0)
                wrong++;
    });
    threads.emplace_back([] {
        for (unsigned now = 1; now <= 200; now++)
            for (int t : {1, 2})
                bw_sample(t, now);
    });
    threads.emplace_back([] {
        for (int i = 0; i < 200; i++)
            for (int t : {1, 2}) {
                TARGET &x = cfg.targets[t];
                pthread_mutex_lock(&x.lock);
                x.bytes_to += 100;
                x.bytes_from += 50;
                x.cur_sessions = i;
                pthread_mutex_unlock(&x.lock);
            }
    });
    for (std::thread &t : threads)
        t.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(log_count("plugin disabled"), 0);
    EXPECT_EQ(log_count("WARNING: response not 0"), 0);
}

// Disabling the server while a packet thread talks to its plugin: the stop
// waits for the exchange in progress, later selections use the method.
TEST_F(Plugin, StopDuringSelections)
{
    for (int t : {1, 2})
        up_target(t);
    list_server(1, {1, 2});
    pid_t pid = start("while read -r l; do echo 2; done\n");
    std::atomic<int> done{0}, bad{0};
    std::thread selector([&] {
        Frame f = client_frame("192.0.2.1");
        FRAMEINFO fi;
        frame_parse(f.data(), (int)f.size(), &fi);
        for (int i = 0; i < 200; i++) {
            int t = select_target(1, f.data(), (int)f.size(), &fi);
            if (t != 1 && t != 2)
                bad++;
            done++;
        }
    });
    while (done.load() < 20)
        std::this_thread::yield();
    plugin_stop(1);
    selector.join();
    EXPECT_EQ(bad.load(), 0);
    expect_removed(pid);
    EXPECT_EQ(log_count("plugin disabled"), 0);  // a stop is not a failure
}

}  // namespace
