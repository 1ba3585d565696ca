// The `modules` command, "show modules", the filter-list commands and the
// writers of the chain line and the filter-list blocks.
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <pthread.h>
#include <thread>

#include "config/config_writer.h"
#include "packet_fixture.h"

namespace {

std::string chain_names()
{
    std::string s;
    for (int p = 0; p < chain.count; p++)
        s += (p ? "," : "") + std::string(chain.name[p]);
    return s;
}

std::string without_prompt(std::string s)
{
    size_t p = s.rfind("kvn# ");
    if (p != std::string::npos)
        s.erase(p);
    return s;
}

struct CHAINROW {
    const char *arg;      // argument of `modules`
    int result;           // command result
    const char *chain;    // chain afterwards
    const char *error;    // error line printed, "" for none
};

const CHAINROW chain_rows[] = {
    {"vrrp,,arp,", 1, "vrrp,arp", ""},
    {",,switch", 1, "switch", ""},
    {"arp,bogus,rt", 0, "arp", "  ERROR: unknown module \"bogus\"\n"},
    {"ARP", 0, "", "  ERROR: unknown module \"ARP\"\n"},
    {"sw", 0, "", "  ERROR: unknown module \"sw\"\n"},
    {"arp,arp,arp", 1, "arp,arp,arp", ""},
    {"vrrp,arp,ping,hc,master,slb,tnat,nat,rt", 1, "vrrp,arp,ping,hc,master,slb,tnat,nat,rt", ""},
    {"vrrp,arp,ping,hc,master,slb,tnat,nat,rt,out", 1, "vrrp,arp,ping,hc,master,slb,tnat,nat,rt,out", ""},
    {"vrrp,arp,ping,hc,master,slb,tnat,nat,rt,out,switch", 0, "vrrp,arp,ping,hc,master,slb,tnat,nat,rt,out",
     "  ERROR: too many modules in chain (max=10)\n"},
    {",,,", 1, "", ""},
};

TEST_F(PacketTest, ModulesCommand)
{
    for (const CHAINROW &r : chain_rows) {
        SCOPED_TRACE(r.arg);
        ASSERT_EQ(chain_set("switch"), 1);  // every command replaces what was there
        int result = -1;
        std::string out = without_prompt(run_line(std::string("modules ") + r.arg, &result));
        EXPECT_EQ(result, r.result);
        EXPECT_EQ(chain_names(), r.chain);
        EXPECT_EQ(out, r.error);
    }
}

const char *const SHOW_TAIL =
    "  supported module chains:\n"
    "    benchmark\n"
    "    switch\n"
    "    vrrp,classic\n"
    "    vrrp,arp,ping,hc,master,slb,tnat,nat,rt\n"
    "    vrrp,arp,ping,hc,master,llb\n"
    "  available modules:\n"
    "    arp        - ARP request/reply processing\n"
    "    benchmark  - HW loopback benchmark\n"
    "    classic    - classic KVNV2 load balancing (SERIAL)\n"
    "    crossover  - virtual crossover cable\n"
    "    hc         - health-check processing\n"
    "    ipallow    - simple IP address allow filter\n"
    "    ipdeny     - simple IP address denial filter\n"
    "    llb        - link load-balancing\n"
    "    macallow   - simple MAC address allow filter\n"
    "    macdeny    - simple MAC address denial filter\n"
    "    master     - proceed only if current master\n"
    "    nat        - NAT processing\n"
    "    out        - packet output processing (EXPERIMENTAL)\n"
    "    ping       - ICMP echo request processing\n"
    "    rt         - IPv4 and IPv6 routing module\n"
    "    slb        - server load balancing\n"
    "    switch     - simple Ethernet switching\n"
    "    strict     - strict IP packet acceptance filter (EXPERIMENTAL)\n"
    "    tnat       - target NAT module\n"
    "    vrrp       - initial VRRP handling\n"
    "    ip4debug   - IPv4 debugging module (EXPERIMENTAL)\n"
    "    sctpdebug  - SCTP debugging module (EXPERIMENTAL)\n";

TEST_F(PacketTest, ShowModulesText)
{
    EXPECT_EQ(without_prompt(run_line("show modules")),
              std::string("  current module chain:\n    *empty*\n") + SHOW_TAIL);
    run_line("modules vrrp,arp,ping");
    std::string expected = std::string("  current module chain:\n    vrrp,arp,ping\n") + SHOW_TAIL;
    EXPECT_EQ(without_prompt(run_line("show modules")), expected);
    int result = 0;
    EXPECT_EQ(without_prompt(run_line("modules ?", &result)), expected);
    EXPECT_EQ(result, 1);
    EXPECT_EQ(chain_names(), "vrrp,arp,ping");  // "?" leaves the chain alone
}

TEST_F(PacketTest, NoModulesEmptiesTheChain)
{
    run_line("modules vrrp,arp");
    int result = 0;
    run_line("no modules", &result);
    EXPECT_EQ(result, 1);
    EXPECT_EQ(chain.count, 0);
}

// Stands in for a SERIAL module at its chain position and records, on
// every call, whether the module's lock was held: a trylock by the thread
// that holds the mutex fails with EBUSY, on a free mutex it succeeds.
struct LOCKPROBE {
    pthread_mutex_t *lock;  // the lock of the module row probed
    int held;               // calls that ran under the lock
    int free;               // calls that ran without it
};
LOCKPROBE lock_probe;

int lock_probe_module(int, int, uint8_t *, FRAMEINFO *)
{
    int r = pthread_mutex_trylock(lock_probe.lock);
    if (r == 0) {
        pthread_mutex_unlock(lock_probe.lock);
        lock_probe.free++;
    } else if (r == EBUSY) {
        lock_probe.held++;
    }
    return 0;
}

TEST_F(PacketTest, SerialModuleRunsUnderItsLock)
{
    ASSERT_EQ(chain_set("classic,crossover"), 1);
    EXPECT_EQ(chain.serial[0], 1);
    EXPECT_EQ(chain.serial[1], 0);
    int row = module_find("classic");
    ASSERT_GE(row, 0);
    ASSERT_EQ(chain.index[0], row);
    lock_probe = {.lock = &module_table[row].lock, .held = 0, .free = 0};
    chain.handler[0] = lock_probe_module;  // the position keeps its SERIAL flag

    Frame f = FrameBuilder().eth("ff:ff:ff:ff:ff:ff", "02:00:00:00:00:01").ethertype(0x88b5).payload("xx").build();
    EXPECT_EQ(receive(1, f), 1);
    EXPECT_EQ(receive(1, f), 1);
    EXPECT_EQ(lock_probe.held, 2);
    EXPECT_EQ(lock_probe.free, 0);
    EXPECT_EQ(tw_sent_count(), 4);
    // The lock is free again after dispatch.
    ASSERT_EQ(pthread_mutex_trylock(lock_probe.lock), 0);
    pthread_mutex_unlock(lock_probe.lock);

    // A module that is not SERIAL runs without the lock; so does every
    // module under the reader threads' dispatch.
    chain.serial[0] = 0;
    EXPECT_EQ(receive(1, f), 1);
    chain.serial[0] = 1;
    uint8_t buf[FRAMEBUF];
    memcpy(buf, f.data(), f.size());
    FRAMEINFO fi;
    frame_parse(buf, (int)f.size(), &fi);
    EXPECT_EQ(chain_dispatch_unlocked(1, (int)f.size(), buf, &fi), 1);
    EXPECT_EQ(lock_probe.held, 2);
    EXPECT_EQ(lock_probe.free, 2);
}

TEST_F(PacketTest, WriteModuleChain)
{
    Capture c;
    write_module_chain(c.f, LINEFMT_FILE);
    EXPECT_EQ(c.str(), "");
    run_line("modules switch");
    Capture one;
    write_module_chain(one.f, LINEFMT_FILE);
    EXPECT_EQ(one.str(), "module    switch\n");
    run_line("modules vrrp,arp,ping,hc,master,slb,tnat,nat,rt");
    Capture many;
    write_module_chain(many.f, LINEFMT_SCREEN);
    EXPECT_EQ(many.str(), "  modules   vrrp,arp,ping,hc,master,slb,tnat,nat,rt\n");
    // The written line loads back.
    chain_clear();
    int result = 0;
    run_line("module    switch", &result);
    EXPECT_EQ(result, 1);
    EXPECT_EQ(chain_names(), "switch");
}

struct LISTROW {
    const char *line;     // command line
    int result;           // its result
    const char *error;    // printed error, "" for none
};

const LISTROW list_rows[] = {
    {"macallow 02:00:00:00:00:01", 1, ""},
    {"macallow 2:0:0:0:0:2", 1, ""},
    {"macallow 02:00:00:00:00", 0, "  ERROR: invalid MAC address format\n"},
    {"macallow 02:00:00:00:00:01:07", 0, "  ERROR: invalid MAC address format\n"},
    {"macdeny zz:00:00:00:00:01", 0, "  ERROR: invalid MAC address format\n"},
    {"macrouter 02:00:00:00:00:99", 1, ""},
    {"ipallow ::ffff:192.0.2.1", 1, ""},
    {"ipallow 192.0.2.1", 0, "  ERROR: invalid IP address\n"},
    {"ipdeny 2001:db8::7", 1, ""},
    {"ipdeny 2001:db8::zz", 0, "  ERROR: invalid IP address\n"},
};

TEST_F(PacketTest, FilterListCommands)
{
    for (const LISTROW &r : list_rows) {
        SCOPED_TRACE(r.line);
        int result = -1;
        EXPECT_EQ(without_prompt(run_line(r.line, &result)), r.error);
        EXPECT_EQ(result, r.result);
    }
    EXPECT_EQ(fl_count(FL_MACALLOW), 2);
    EXPECT_EQ(fl_count(FL_MACDENY), 0);
    EXPECT_EQ(fl_count(FL_MACROUTER), 1);
    EXPECT_EQ(fl_count(FL_IPALLOW), 1);
    EXPECT_EQ(fl_count(FL_IPDENY), 1);
    EXPECT_TRUE(fl_has_mac(FL_MACALLOW, mac_bytes("02:00:00:00:00:02").data()));
    // A repeated address is stored once.
    run_line("macallow 02:00:00:00:00:01");
    EXPECT_EQ(fl_count(FL_MACALLOW), 2);

    const char *no_lines[] = {"no macallow", "no macdeny", "no macrouter", "no ipallow", "no ipdeny"};
    for (const char *l : no_lines) {
        int result = 0;
        run_line(l, &result);
        EXPECT_EQ(result, 1) << l;
    }
    for (int l = 0; l < FL_COUNT; l++)
        EXPECT_EQ(fl_count(l), 0) << l;
}

TEST_F(PacketTest, FilterListBlocksRoundTrip)
{
    const char *lines[] = {"ipallow {", "::ffff:192.0.2.1", "2001:db8::1", "}", "macdeny {", "02:00:00:00:00:0a", "}",
                           "macrouter 02:00:00:00:00:0b"};
    for (const char *l : lines) {
        int result = 0;
        run_line(l, &result);
        EXPECT_EQ(result, 1) << l;
    }
    EXPECT_EQ(fl_count(FL_IPALLOW), 2);
    EXPECT_EQ(fl_count(FL_MACDENY), 1);
    Capture c;
    write_filter_lists(c.f, LINEFMT_FILE);
    const std::string text = c.str();
    EXPECT_EQ(text, "macdeny   {\n"
                    "          02:00:00:00:00:0a\n"
                    "}         \n"
                    "ipallow   {\n"
                    "          ::ffff:192.0.2.1\n"
                    "          2001:db8::1\n"
                    "}         \n"
                    "macrouter {\n"
                    "          02:00:00:00:00:0b\n"
                    "}         \n");
    // Load the written text back into empty lists.
    for (int l = 0; l < FL_COUNT; l++)
        fl_clear(l);
    size_t start = 0;
    while (start < text.size()) {
        size_t nl = text.find('\n', start);
        run_line(text.substr(start, nl - start));
        start = nl + 1;
    }
    EXPECT_EQ(fl_count(FL_IPALLOW), 2);
    EXPECT_EQ(fl_count(FL_MACDENY), 1);
    EXPECT_EQ(fl_count(FL_MACROUTER), 1);
    uint8_t v6[16];
    memcpy(v6, ip6_bytes("2001:db8::1").data(), 16);
    EXPECT_TRUE(fl_has_ip(FL_IPALLOW, v6));
}

// Key number i of a list: a MAC or an IPv4-mapped / IPv6 address.
void list_key(int list, int i, uint8_t key[16])
{
    memset(key, 0, 16);
    if (list == FL_IPALLOW || list == FL_IPDENY) {
        // The first 256 keys IPv4-mapped (192.0.2.x for ipallow,
        // 203.0.113.x for ipdeny), the rest IPv6 (2001:db8:<list>::x).
        if (i < 256) {
            key[10] = key[11] = 0xff;
            memcpy(key + 12, ip4_bytes(list == FL_IPALLOW ? "192.0.2.0" : "203.0.113.0").data(), 4);
            key[15] = (uint8_t)i;
            return;
        }
        memcpy(key, ip6_bytes("2001:db8::").data(), 16);
        key[5] = (uint8_t)list;
    } else {
        key[0] = 0x02;
    }
    key[14] = (uint8_t)(i >> 8);
    key[15] = (uint8_t)i;
    if (list >= FL_MACALLOW) {  // MACs: the six bytes 02:00:00:<list>:<i>
        key[3] = (uint8_t)list;
        key[4] = key[14];
        key[5] = key[15];
        key[14] = key[15] = 0;
    }
}

bool list_insert(int list, const uint8_t key[16])
{
    return list >= FL_MACALLOW ? fl_insert_mac(list, key) : fl_insert_ip(list, key);
}

bool list_has(int list, const uint8_t key[16])
{
    return list >= FL_MACALLOW ? fl_has_mac(list, key) : fl_has_ip(list, key);
}

// Each list holds far more than a thousand entries, keeps them apart from
// the other lists, and after its revert form is empty and fills again from
// the entries the table kept.
TEST_F(PacketTest, FilterListsHoldThousandsOfEntries)
{
    const int N = 3000;
    uint8_t key[16];
    for (int l = 0; l < FL_COUNT; l++) {
        SCOPED_TRACE(l);
        for (int i = 0; i < N; i++) {
            list_key(l, i, key);
            ASSERT_TRUE(list_insert(l, key)) << i;
        }
        list_key(l, 7, key);
        ASSERT_TRUE(list_insert(l, key));  // again: stored once
        EXPECT_EQ(fl_count(l), N);
    }
    for (int l = 0; l < FL_COUNT; l++) {
        SCOPED_TRACE(l);
        for (int i = 0; i < N; i++) {
            list_key(l, i, key);
            ASSERT_TRUE(list_has(l, key)) << i;
            // The other lists of the same kind do not hold it.
            for (int o = 0; o < FL_COUNT; o++) {
                if (o != l && (o >= FL_MACALLOW) == (l >= FL_MACALLOW)) {
                    ASSERT_FALSE(list_has(o, key)) << o << " " << i;
                }
            }
        }
        list_key(l, N, key);
        EXPECT_FALSE(list_has(l, key));
    }
    // A list of the other kind refuses the key.
    list_key(FL_IPALLOW, 1, key);
    EXPECT_FALSE(fl_insert_mac(FL_IPALLOW, key));
    EXPECT_FALSE(fl_insert_ip(FL_MACDENY, key));
    EXPECT_FALSE(fl_has_ip(FL_MACDENY, key));

    const char *no_lines[] = {"no ipallow", "no ipdeny", "no macallow", "no macdeny", "no macrouter"};
    for (int l = 0; l < FL_COUNT; l++) {
        int result = 0;
        run_line(no_lines[l], &result);
        EXPECT_EQ(result, 1) << no_lines[l];
        EXPECT_EQ(fl_count(l), 0) << l;
        list_key(l, 0, key);
        EXPECT_FALSE(list_has(l, key)) << l;
        for (int i = 0; i < N; i += 2) {
            list_key(l, i, key);
            list_insert(l, key);
        }
        EXPECT_EQ(fl_count(l), N / 2) << l;
        list_key(l, 1, key);
        EXPECT_FALSE(list_has(l, key)) << l;
    }
    // Through the commands too, past the old limit of 1024.
    for (int i = 0; i < 1100; i++) {
        char line[64];
        snprintf(line, sizeof line, "macdeny 02:00:00:09:%02x:%02x", i >> 8, i & 0xff);
        int result = 0;
        run_line(line, &result);
        ASSERT_EQ(result, 1) << line;
    }
    EXPECT_EQ(fl_count(FL_MACDENY), N / 2 + 1100);
}

// The writer lists each list's entries in ascending order, whatever the
// order of insertion, so saving twice gives the same text.
TEST_F(PacketTest, FilterListWriterSortsEntries)
{
    for (const char *l : {"macdeny 02:00:00:00:00:0b", "macdeny 02:00:00:00:00:0a", "ipdeny 2001:db8::2",
                          "ipdeny ::ffff:198.51.100.9", "ipdeny 2001:db8::1"})
        run_line(l);
    Capture c;
    write_filter_lists(c.f, LINEFMT_FILE);
    EXPECT_EQ(c.str(), "macdeny   {\n"
                       "          02:00:00:00:00:0a\n"
                       "          02:00:00:00:00:0b\n"
                       "}         \n"
                       "ipdeny    {\n"
                       "          ::ffff:198.51.100.9\n"
                       "          2001:db8::1\n"
                       "          2001:db8::2\n"
                       "}         \n");
}

// "no ipallow" and "no macdeny" while reader threads run the filters: a
// source that was never listed is never let through or denied, and the
// lists end up holding exactly what was inserted after the last discard.
// (The sanitizer build checks that no reader touches released memory.)
TEST_F(PacketTest, FilterListDiscardWhileLookupsRun)
{
    const Frame listed = FrameBuilder().eth("02:00:00:00:00:01", "02:00:00:00:00:c1")
                             .ipv4("192.0.2.1", "192.0.2.10").udp(1, 2).build();
    const Frame stranger = FrameBuilder().eth("02:00:00:00:00:01", "02:00:00:00:00:66")
                               .ipv4("203.0.113.66", "192.0.2.10").udp(1, 2).build();
    std::atomic<bool> done{false};
    std::atomic<int> wrong{0};
    std::atomic<long> lookups{0};
    auto reader = [&] {
        uint8_t buf[FRAMEBUF];
        for (long n = 0; n < 2000000 && !done.load(); n++) {
            FRAMEINFO fi;
            memcpy(buf, stranger.data(), stranger.size());
            frame_parse(buf, (int)stranger.size(), &fi);
            if (mod_ipallow(1, (int)stranger.size(), buf, &fi) != 1 ||
                mod_macdeny(1, (int)stranger.size(), buf, &fi) != 0)
                wrong++;
            memcpy(buf, listed.data(), listed.size());
            frame_parse(buf, (int)listed.size(), &fi);
            mod_ipallow(1, (int)listed.size(), buf, &fi);
            mod_macdeny(1, (int)listed.size(), buf, &fi);
            lookups++;
        }
    };
    std::vector<std::thread> readers;
    for (int i = 0; i < 4; i++)
        readers.emplace_back(reader);
    // The rounds must overlap the lookups: on a loaded machine the writer
    // could otherwise finish before any reader has run.
    for (auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
         lookups.load() == 0 && std::chrono::steady_clock::now() < deadline;)
        std::this_thread::yield();
    uint8_t key[16];
    for (int round = 0; round < 200; round++) {
        run_line("no ipallow");
        run_line("no macdeny");
        run_line("ipallow ::ffff:192.0.2.1");
        run_line("macdeny 02:00:00:00:00:c1");
        for (int i = 100; i < 150; i++) {  // keys other than the two above
            list_key(FL_IPALLOW, i, key);
            fl_insert_ip(FL_IPALLOW, key);
            list_key(FL_MACDENY, i, key);
            fl_insert_mac(FL_MACDENY, key);
        }
    }
    done = true;
    for (std::thread &t : readers)
        t.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_GT(lookups.load(), 0);
    EXPECT_EQ(fl_count(FL_IPALLOW), 51);
    EXPECT_EQ(fl_count(FL_MACDENY), 51);
    uint8_t buf[FRAMEBUF];
    memcpy(buf, listed.data(), listed.size());
    FRAMEINFO fi;
    frame_parse(buf, (int)listed.size(), &fi);
    EXPECT_EQ(mod_ipallow(1, (int)listed.size(), buf, &fi), 0);
    EXPECT_EQ(mod_macdeny(1, (int)listed.size(), buf, &fi), 1);
}

// With the chain arp,ipallow an ARP frame is offered to arp before the
// allow filter drops it; with ipallow first it never reaches arp.
TEST_F(PacketTest, ArpBeforeIpallowOrder)
{
    Frame a = FrameBuilder().eth("ff:ff:ff:ff:ff:ff", "02:00:00:00:00:c1")
                  .arp(1, "02:00:00:00:00:c1", "192.0.2.1", "00:00:00:00:00:00", "192.0.2.10").build();
    ASSERT_EQ(chain_set("crossover,ipallow"), 1);  // a consuming module in arp's place
    EXPECT_EQ(receive(1, a), 1);
    EXPECT_EQ(tw_sent_count(), 2);
    tw_clear();
    ASSERT_EQ(chain_set("ipallow,crossover"), 1);
    EXPECT_EQ(receive(1, a), 1);
    EXPECT_EQ(tw_sent_count(), 0);
}

} // namespace
