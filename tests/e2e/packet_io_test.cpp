// The raw and TAP I/O path on real devices, without the rest of the
// daemon: interfaces are opened in a private network namespace, a forked
// child runs the select loop with the switch chain, and two client
// namespaces ping and send UDP through it. The veths keep transmit
// checksum offload on, so a UDP datagram only arrives when the I/O path
// finished its checksum. Needs root; skipped otherwise.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

#include "config/config_state.h"
#include "packet/chain.h"
#include "packet/interface_io.h"
#include "support/support.h"

namespace {

int sh(const std::string &cmd) { return system((cmd + " >/dev/null 2>&1").c_str()); }

// Polls a shell command until it succeeds or the deadline passes.
bool poll(const std::string &cmd, int seconds)
{
    for (int i = 0; i < seconds * 5; i++) {
        if (sh(cmd) == 0)
            return true;
        usleep(200000);
    }
    return false;
}

class PacketIo : public ::testing::Test {
protected:
    std::string id = std::to_string(getpid());
    std::string nsd = "kvnid" + id, ns1 = "kvni1" + id, ns2 = "kvni2" + id;
    std::string d1 = "kid1" + id, d2 = "kid2" + id, c1 = "kic1" + id, c2 = "kic2" + id, tap = "kit" + id;
    pid_t child = 0;

    void SetUp() override
    {
        if (geteuid() != 0)
            GTEST_SKIP() << "needs root";
        for (const char *tool : {"ip", "ss", "ping", "ethtool", "python3"})
            if (sh(std::string("command -v ") + tool) != 0)
                GTEST_SKIP() << tool << " not installed";
        kvn_test_reset();
        ASSERT_EQ(sh("ip netns add " + nsd + " && ip netns add " + ns1 + " && ip netns add " + ns2), 0);
        ASSERT_EQ(sh("ip link add " + d1 + " netns " + nsd + " type veth peer name " + c1 + " netns " + ns1), 0);
        ASSERT_EQ(sh("ip link add " + d2 + " netns " + nsd + " type veth peer name " + c2 + " netns " + ns2), 0);
        sh("ip -n " + ns1 + " addr add 192.0.2.1/24 dev " + c1);
        sh("ip -n " + ns2 + " addr add 192.0.2.2/24 dev " + c2);
        sh("ip -n " + ns1 + " link set " + c1 + " up");
        sh("ip -n " + ns2 + " link set " + c2 + " up");
    }

    void TearDown() override
    {
        if (child > 0) {
            kill(child, SIGKILL);
            waitpid(child, nullptr, 0);
        }
        for (int s = 1; s <= 3; s++)
            interface_close(s);
        sh("ip netns del " + nsd);
        sh("ip netns del " + ns1);
        sh("ip netns del " + ns2);
    }

    // Opens the three interfaces from inside the daemon namespace; the
    // sockets stay bound to it after the thread returns to its own.
    void open_interfaces()
    {
        int self = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
        int target = open(("/var/run/netns/" + nsd).c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_GE(self, 0);
        ASSERT_GE(target, 0);
        ASSERT_EQ(setns(target, CLONE_NEWNET), 0);
        const std::string names[3] = {d1, d2, tap};
        for (int s = 1; s <= 3; s++) {
            INTERFACE &i = cfg.interfaces[s];
            snprintf(i.name, sizeof i.name, "%s", names[s - 1].c_str());
            i.access = s == 3 ? ACCESS_TAP : ACCESS_RAW;
            i.registered = 1;
            EXPECT_EQ(interface_open(s), 1) << i.name;
            i.enabled = 1;
        }
        EXPECT_EQ(setns(self, CLONE_NEWNET), 0);
        close(self);
        close(target);
    }
};

TEST_F(PacketIo, SwitchOverRawAndTap)
{
    open_interfaces();
    ASSERT_GT(cfg.interfaces[1].fd, 0);
    ASSERT_GT(cfg.interfaces[3].fd, 0);
    // A raw interface is brought up by the open and has the veth's MAC.
    EXPECT_EQ(sh("ip -n " + nsd + " link show " + d1 + " | grep -q UP"), 0);
    bool zero = true;
    for (uint8_t b : cfg.interfaces[1].hwaddr)
        zero = zero && b == 0;
    EXPECT_FALSE(zero);
    // The namespace's own stack answers behind the TAP device.
    sh("ip -n " + nsd + " addr add 192.0.2.3/24 dev " + tap);
    sh("ip -n " + nsd + " link set " + tap + " up");

    ASSERT_EQ(chain_set("switch"), 1);
    child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        interface_loop();  // never returns; killed by the parent
    }

    EXPECT_TRUE(poll("ip netns exec " + ns1 + " ping -c 1 -W 1 192.0.2.2", 15));
    EXPECT_EQ(sh("ip netns exec " + ns1 + " ping -c 3 -i 0.2 -W 2 192.0.2.2"), 0);
    EXPECT_TRUE(poll("ip netns exec " + ns2 + " ping -c 1 -W 1 192.0.2.3", 15));

    std::string recv = "ip netns exec " + ns2 +
                       " timeout 5 python3 -c 'import socket,sys\n"
                       "s=socket.socket(socket.AF_INET,socket.SOCK_DGRAM); s.bind((\"192.0.2.2\",9999)); s.settimeout(4)\n"
                       "sys.exit(0 if s.recvfrom(100)[0]==b\"offloaded\" else 1)'";
    std::string send = "ip netns exec " + ns1 +
                       " python3 -c 'import socket\n"
                       "socket.socket(socket.AF_INET,socket.SOCK_DGRAM).sendto(b\"offloaded\",(\"192.0.2.2\",9999))'";
    EXPECT_EQ(sh("ip netns exec " + ns1 + " ethtool -k " + c1 + " | grep -q 'tx-checksumming: on'"), 0)
        << "the test relies on transmit checksum offload";
    // The datagram goes out once the receiver's socket is bound; the
    // receiver ends on its own within five seconds.
    pid_t rx = fork();
    ASSERT_GE(rx, 0);
    if (rx == 0) {
        execl("/bin/sh", "sh", "-c", (recv + " >/dev/null 2>&1").c_str(), (char *)nullptr);
        _exit(127);
    }
    EXPECT_TRUE(poll("ip netns exec " + ns2 + " ss -Hlun 'sport = :9999' | grep -q 9999", 5));
    EXPECT_EQ(sh(send), 0);
    EXPECT_EQ(wait_exit(rx, 10000), 0) << "the receiver did not get the datagram intact";
}

} // namespace
