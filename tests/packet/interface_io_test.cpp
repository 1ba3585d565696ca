// Sending with outmtu and its failure warnings, the multi-interface send
// operations, receive counters, link detection and "show ifstat".
#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sched.h>
#include <thread>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "command/log.h"
#include "config/addr.h"
#include "config/config_state.h"
#include "packet/arp.h"
#include "packet/interface_io.h"
#include "packet_fixture.h"

namespace {

std::string log_text() { return run_line("show log"); }

IFCOUNTS counts(int slot)
{
    IFCOUNTS c;
    interface_counts(slot, &c);
    return c;
}

Frame sized(size_t n)
{
    return FrameBuilder().eth("02:00:00:00:00:01", "02:00:00:00:00:02").ethertype(0x88b5).payload(std::string(n - 14, 'x')).build();
}

TEST_F(PacketTest, OutmtuCutsFrames)
{
    run_line("set outmtu 100");
    Frame f = sized(1514);
    interface_send(1, f.data(), (int)f.size());
    ASSERT_EQ(tw_sent_count(), 1);
    EXPECT_EQ(tw_sent(0)->len, 100);
    EXPECT_EQ(counts(1).sent_bytes, 100u);
    EXPECT_EQ(counts(1).sent_packets, 1u);
}

struct FAILROW {
    size_t len;           // frame length
    int err;              // planted errno
    const char *message;  // start of the expected log line
};

TEST_F(PacketTest, SlotWithoutDeviceSendsNothing)
{
    // An enabled vpn slot has no descriptor; its frames must not reach
    // descriptor 0. A pipe stands in for standard input to see them.
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    int saved = dup(0);
    ASSERT_GE(saved, 0);
    ASSERT_EQ(dup2(fds[1], 0), 0);
    INTERFACE &i = cfg.interfaces[5];
    i.access = ACCESS_VPN;
    i.enabled = 1;
    i.fd = 0;
    Frame f = sized(60);
    interface_send(5, f.data(), (int)f.size());
    dup2(saved, 0);
    close(saved);
    close(fds[1]);
    char buf[64];
    EXPECT_EQ(read(fds[0], buf, sizeof buf), 0);
    close(fds[0]);
    EXPECT_EQ(counts(5).sent_packets, 0u);
    i.enabled = 0;
}

TEST_F(PacketTest, SendFailuresWarnAndCountNothing)
{
    const FAILROW rows[] = {
        {1600, EMSGSIZE, "WARNING: failed to write JUMBO frame of len 1600 to eth1, please check MTU"},
        {1500, EMSGSIZE, "WARNING: failed to write frame of len 1500 to eth1, errno = 90"},
        {1600, ENOBUFS, "WARNING: failed to write frame of len 1600 to eth1, errno = 105"},
    };
    for (const FAILROW &r : rows) {
        SCOPED_TRACE(r.message);
        Frame f = sized(r.len);
        tw_fail_next_send(1, r.err);
        interface_send(1, f.data(), (int)f.size());
        EXPECT_NE(log_text().find(r.message), std::string::npos) << log_text();
        EXPECT_EQ(counts(1).sent_packets, 0u);
        EXPECT_EQ(counts(1).sent_bytes, 0u);
        EXPECT_EQ(tw_sent_count(), 0);
    }
}

TEST_F(PacketTest, SendSetsSkipDisabledInterfaces)
{
    Frame f = sized(60);
    cfg.interfaces[2].enabled = 0;
    interface_send_all(f.data(), (int)f.size());
    ASSERT_EQ(tw_sent_count(), 2);
    EXPECT_EQ(tw_sent(0)->slot, 1);
    EXPECT_EQ(tw_sent(1)->slot, 3);
    tw_clear();
    int32_t flags[IFSLOTS] = {};
    flags[2] = flags[3] = 1;
    interface_send_set(f.data(), (int)f.size(), flags);
    ASSERT_EQ(tw_sent_count(), 1);
    EXPECT_EQ(tw_sent(0)->slot, 3);
    tw_clear();
    interface_send_others(3, f.data(), (int)f.size());
    ASSERT_EQ(tw_sent_count(), 1);
    EXPECT_EQ(tw_sent(0)->slot, 1);
}

TEST_F(PacketTest, ReceiveCountsEvenWithoutChain)
{
    Frame f = sized(64);
    EXPECT_EQ(receive(2, f), 0);
    EXPECT_EQ(receive(2, Frame()), 0);  // a 0-byte read is counted too
    EXPECT_EQ(counts(2).recv_packets, 2u);
    EXPECT_EQ(counts(2).recv_bytes, 64u);
}

TEST_F(PacketTest, Lookups)
{
    EXPECT_EQ(interface_slot_by_name("eth2"), 2);
    EXPECT_EQ(interface_slot_by_name("eth"), -1);
    EXPECT_EQ(interface_by_name("eth3"), &cfg.interfaces[3]);
    EXPECT_EQ(interface_by_name("nope"), nullptr);
    // Unused slots (slot 0 included) have empty names; "" names none.
    EXPECT_EQ(interface_slot_by_name(""), -1);
    EXPECT_EQ(interface_by_name(""), nullptr);
    EXPECT_STREQ(interface_name(1), "eth1");
    EXPECT_STREQ(interface_name(30), "");
}

class LinkTest : public PacketTest {
protected:
    TempRoot root;
    std::string sysfs;
    void SetUp() override
    {
        PacketTest::SetUp();
        sysfs = root.path;
        sysfs_root = sysfs.c_str();
    }
    void TearDown() override
    {
        sysfs_root = "";
        PacketTest::TearDown();
    }
    void carrier(const char *ifname, const char *text)
    {
        std::string dir = root.path + "/sys";
        mkdir(dir.c_str(), 0755);
        dir += "/class";
        mkdir(dir.c_str(), 0755);
        dir += "/net";
        mkdir(dir.c_str(), 0755);
        dir += std::string("/") + ifname;
        mkdir(dir.c_str(), 0755);
        write_file(dir + "/carrier", text);
    }
};

TEST_F(LinkTest, CarrierFile)
{
    struct {
        const char *name;     // interface name
        const char *content;  // carrier file text, nullptr = no file
        int fd;               // descriptor to give the slot
        int up;               // expected link state
    } rows[] = {
        {"veth0", "1\n", 5, 1},
        {"veth1", "0\n", 5, 0},
        {"veth2", "1", 5, 0},
        {"veth3", nullptr, 5, 0},
        {"veth4", "1\nextra\n", 5, 1},
        {"kvn7", "1\n", 0, 0},     // four-character kvn name: no file is read
        {"kvn7", nullptr, 9, 1},
        {"kvnab", nullptr, 9, 0},  // five characters: the carrier file decides
        {"kvnab", "1\n", 0, 1},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(std::string(r.name) + " " + (r.content ? r.content : "(none)"));
        if (r.content != nullptr)
            carrier(r.name, r.content);
        INTERFACE &i = cfg.interfaces[10];
        snprintf(i.name, sizeof i.name, "%s", r.name);
        i.fd = r.fd;
        EXPECT_EQ(interface_link_state(10), r.up);
        i.fd = 0;
    }
}

TEST_F(LinkTest, DetectionLogsChanges)
{
    carrier("eth1", "1\n");
    link_detection_step(1);
    EXPECT_EQ(cfg.interfaces[1].link_state, 1);
    EXPECT_NE(log_text().find("link detected on interface 1 (eth1)"), std::string::npos);
    log_reset();
    link_detection_step(1);
    EXPECT_EQ(log_text(), "kvn# ");  // no change, no message
    carrier("eth1", "0\n");
    link_detection_step(1);
    EXPECT_EQ(cfg.interfaces[1].link_state, 0);
    EXPECT_NE(log_text().find("link lost on interface 1 (eth1)"), std::string::npos);
}

TEST_F(PacketTest, ShowIfstat)
{
    Frame f = sized(100);
    receive(1, f);
    interface_send(3, f.data(), 60);
    cfg.interfaces[3].link_state = 1;
    std::string out = run_line("show ifstat");
    std::string expected = "\nindex 0 (eth1)\nindex 1 (eth2)\nindex 2 (eth3)\n\n";
    const char *macs[] = {"02:00:00:00:01:01", "02:00:00:00:02:02", "02:00:00:00:03:03"};
    const char *counts[] = {"  received:\n    packets 1\n    bytes   100\n  sent:\n    packets 0\n    bytes   0\n",
                            "  received:\n    packets 0\n    bytes   0\n  sent:\n    packets 0\n    bytes   0\n",
                            "  received:\n    packets 0\n    bytes   0\n  sent:\n    packets 1\n    bytes   60\n"};
    for (int s = 1; s <= 3; s++) {
        expected += "interface " + std::to_string(s) + " (eth" + std::to_string(s) + ")\n";
        expected += s == 3 ? "  link detection: TRUE\n" : "  link detection: FALSE\n";
        expected += std::string("  address:\n    ") + macs[s - 1] + "\n";
        expected += counts[s - 1];
        expected += "  dumped:\n    bytes   0\n\n";
    }
    EXPECT_EQ(out, expected + "kvn# ");
    // The older item name gives the same listing.
    EXPECT_EQ(run_line("show interfaces"), out);
}

// Frames dropped on receipt get a section of their own, only on the
// interfaces that dropped any, so the listing is unchanged until then.
TEST_F(PacketTest, ShowIfstatListsDropsOnceThereAreAny)
{
    Frame group = FrameBuilder().eth("02:00:00:00:00:01", "01:00:5e:00:00:01").ethertype(0x88b5).payload("x").build();
    EXPECT_EQ(receive(2, group), 0);
    EXPECT_EQ(receive(2, group), 0);
    std::string out = run_line("show ifstat");
    EXPECT_NE(out.find("interface 2 (eth2)\n  link detection: FALSE\n  address:\n    02:00:00:00:02:02\n"
                       "  received:\n    packets 2\n    bytes   30\n  sent:\n    packets 0\n    bytes   0\n"
                       "  dumped:\n    bytes   0\n  dropped:\n    packets 2\n\n"),
              std::string::npos)
        << out;
    EXPECT_EQ(out.find("dropped:"), out.rfind("dropped:")) << out;
    interface_counts_clear(2);
    EXPECT_EQ(run_line("show ifstat").find("dropped:"), std::string::npos);
}

// A closed interface keeps its descriptor number, held by an inert socket,
// so a thread still holding the number can never reach a file opened
// later; opening the interface again puts its new socket at the same
// number. Runs in a child with a network namespace of its own (its lo is
// the device), so it needs the rights to make one.
TEST_F(PacketTest, ClosedInterfaceKeepsItsDescriptorNumber)
{
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (unshare(CLONE_NEWNET) != 0)
            _exit(77);
        auto domain = [](int fd) {
            int d = -1;
            socklen_t l = sizeof d;
            return getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &d, &l) == 0 ? d : -1;
        };
        INTERFACE &i = cfg.interfaces[7];
        snprintf(i.name, IFNAMELEN, "lo");
        i.access = ACCESS_RAW;
        if (interface_open(7) != 1)
            _exit(1);
        int number = interface_fd(7);
        if (number <= 0 || domain(number) != AF_PACKET)
            _exit(2);
        interface_close(7);
        if (interface_fd(7) != 0 || domain(number) != AF_UNIX)
            _exit(3);
        char byte = 0;
        if (write(number, &byte, 1) >= 0)
            _exit(4);  // the inert socket refuses frames
        int other = open("/dev/null", O_RDONLY);
        if (other < 0 || other == number)
            _exit(5);
        if (interface_open(7) != 1 || interface_fd(7) != number || domain(number) != AF_PACKET)
            _exit(6);
        interface_close(7);
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 77)
        GTEST_SKIP() << "no network namespace of its own (needs CAP_SYS_ADMIN)";
    EXPECT_EQ(WEXITSTATUS(status), 0) << "failed at step " << WEXITSTATUS(status);
}

TEST_F(PacketTest, ShowIfstatSkipsClosedSlots)
{
    tw_detach_all();
    EXPECT_EQ(run_line("show ifstat"), "\nkvn# ");
    cfg.interfaces[4].access = ACCESS_VPN;  // a vpn interface gets no descriptor
    snprintf(cfg.interfaces[4].name, IFNAMELEN, "kvn4");
    EXPECT_EQ(interface_open(4), 1);
    EXPECT_EQ(cfg.interfaces[4].fd, 0);
    EXPECT_EQ(run_line("show ifstat"), "\nkvn# ");
}

TEST_F(PacketTest, OpenFailures)
{
    INTERFACE &i = cfg.interfaces[5];
    snprintf(i.name, IFNAMELEN, "kvnnosuch%d", (int)getpid() % 1000);
    i.access = 7;
    EXPECT_EQ(interface_open(5), -1);
    EXPECT_NE(log_text().find("unknown access method interface"), std::string::npos);
    EXPECT_EQ(i.fd, 0);
    i.access = ACCESS_RAW;
    EXPECT_EQ(interface_open(5), -1);
    EXPECT_EQ(i.fd, 0);
    EXPECT_NE(log_text().find("cannot create socket for kvnnosuch"), std::string::npos) << log_text();
}

TEST_F(PacketTest, ShowThreads)
{
    kvn_thread_count = 1;
    kvn_threads[0].number = 1;
    kvn_threads[0].slot = 2;
    kvn_threads[0].packets = 1;
    receive(2, sized(60));
    receive(2, sized(60));
    receive(2, sized(60));
    EXPECT_EQ(run_line("show threads"), " thread no 1\n   interface 2 (eth2)\n   packets processed 1 (33.3%)\nkvn# ");
    kvn_thread_count = 0;
}

// Two reader threads of one interface answer echo requests concurrently,
// each counting on counters of its own, while the listings sum them: the
// sums only grow while the readers run, and at the end "show threads" and
// "show ifstat" give the totals of both threads plus a frame another
// thread sent. Clearing starts the interface's counts from zero again.
TEST_F(PacketTest, ReaderThreadCountsAreSummed)
{
    NETWORK &n = cfg.networks[1];
    n.registered = n.enabled = 1;
    n.member[1] = 1;
    uint8_t key[16];
    ipv4_mapped(key, ip4_bytes("192.0.2.10").data());
    arp_make_entry(key, mac_bytes("06:00:c0:00:02:0a").data(), 1, 0, 1, 1, 0, nullptr);
    ASSERT_EQ(chain_set("ping"), 1);
    const Frame echo = FrameBuilder()
                           .eth("06:00:c0:00:02:0a", "02:00:00:00:00:c1")
                           .ipv4("192.0.2.50", "192.0.2.10")
                           .icmp_echo(8, 7, 1, std::string(18, 'e'))
                           .build();
    const int per_thread = 3000;
    kvn_thread_count = 2;
    for (int k = 0; k < 2; k++) {
        kvn_threads[k].number = k + 1;
        kvn_threads[k].slot = 1;
        kvn_threads[k].packets = 0;
    }
    std::atomic<int> answered{0};
    auto reader = [&](int k) {
        uint8_t buf[FRAMEBUF];
        for (int i = 0; i < per_thread; i++) {
            memcpy(buf, echo.data(), echo.size());
            answered += interface_frame_in(1, buf, (int)echo.size(), false, &kvn_threads[k]);
        }
    };
    std::thread a(reader, 0), b(reader, 1);
    uint64_t last = 0;
    bool shrank = false;
    for (int polls = 0; polls < 100000 && answered.load() < 2 * per_thread; polls++) {
        uint64_t now = counts(1).recv_packets;
        shrank = shrank || now < last;
        last = now;
        run_line("show threads");
    }
    a.join();
    b.join();
    EXPECT_FALSE(shrank);
    EXPECT_EQ(answered.load(), 2 * per_thread);
    interface_send(1, echo.data(), (int)echo.size());

    const std::string per = "   interface 1 (eth1)\n   packets processed " + std::to_string(per_thread) + " (50.0%)\n";
    EXPECT_EQ(run_line("show threads"), " thread no 1\n" + per + " thread no 2\n" + per + "kvn# ");
    const uint64_t total = 2 * per_thread, bytes = total * echo.size();
    const std::string listed = "  received:\n    packets " + std::to_string(total) + "\n    bytes   " +
                               std::to_string(bytes) + "\n  sent:\n    packets " + std::to_string(total + 1) +
                               "\n    bytes   " + std::to_string(bytes + echo.size()) + "\n";
    EXPECT_NE(run_line("show ifstat").find("interface 1 (eth1)\n  link detection: FALSE\n  address:\n    "
                                           "02:00:00:00:01:01\n" + listed),
              std::string::npos)
        << run_line("show ifstat");

    interface_counts_clear(1);
    EXPECT_EQ(counts(1).recv_packets, 0u);
    EXPECT_EQ(counts(1).sent_bytes, 0u);
    EXPECT_EQ(receive(1, echo), 1);
    EXPECT_EQ(counts(1).recv_packets, 1u);
    EXPECT_EQ(counts(1).recv_bytes, echo.size());
    EXPECT_EQ(counts(1).sent_packets, 1u);
    kvn_thread_count = 0;
}

} // namespace
