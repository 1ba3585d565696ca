// The arp module over the test wire: frames in, frames out (compared byte
// for byte with frames built independently, checksums recomputed), the
// learning rules, conflicts, sticky targets, the refresh driven by a test
// clock, announcements, truncated frames, and the commands and listings.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "command/log.h"
#include "config/addr.h"
#include "config/config_state.h"
#include "config/config_writer.h"
#include "config/networks.h"
#include "config/parameters.h"
#include "daemon/daemon.h"
#include "packet/arp.h"
#include "packet/arp_frames.h"
#include "packet/chain.h"
#include "packet/machash.h"
#include "packet/module.h"
#include "packet/test_wire.h"
#include "support/frames.h"
#include "support/support.h"

namespace {

const char *const CLIENT_MAC = "02:00:00:00:00:99";
const char *const CLIENT_IP = "192.0.2.50";
const char *const REAL_MAC = "06:00:c0:00:02:0a";  // 06:00 + 192.0.2.10

Frame sent(int i)
{
    const TWFRAME *f = tw_sent(i);
    return f == nullptr ? Frame() : Frame(f->data, f->data + f->len);
}

void set4(uint8_t out[4], const char *ip)
{
    ASSERT_TRUE(parse_ipv4(ip, out));
}

void set6(uint8_t out[16], const char *ip)
{
    ASSERT_TRUE(parse_ipv6(ip, out));
}

AHENTRY *entry4(const char *ip)
{
    uint8_t a[4], k[16];
    set4(a, ip);
    ipv4_mapped(k, a);
    return ah_find(arp_table, k);
}

AHENTRY *entry6(const char *ip)
{
    uint8_t k[16];
    set6(k, ip);
    return ah_find(arp_table, k);
}

struct ArpModuleTest : ::testing::Test {
    void SetUp() override
    {
        tw_detach_all();
        kvn_test_reset();
        ah_clear(arp_table);
        mh_clear(mac_table);
        mh_clear(ownmac_table);
        set_uptime(1000);
        const uint8_t hw1[6] = {0x02, 0xaa, 0, 0, 0, 1};
        const uint8_t hw2[6] = {0x02, 0xaa, 0, 0, 0, 2};
        ASSERT_TRUE(tw_attach(1, "eth1", hw1));
        ASSERT_TRUE(tw_attach(2, "eth2", hw2));
        ASSERT_EQ(chain_set("arp"), 1);

        NETWORK &n1 = cfg.networks[1];
        n1.registered = n1.enabled = 1;
        set4(n1.addr, "192.0.2.0");
        set4(n1.mask, "255.255.255.0");
        set4(n1.real, "192.0.2.10");
        set4(n1.virt, "192.0.2.11");
        own_mac_of(n1.realmac, n1.real);
        own_mac_of(n1.virtmac, n1.virt);
        n1.mask6 = 64;
        set6(n1.real6, "2001:db8::10");
        n1.member[1] = 1;
        NETWORK &n2 = cfg.networks[2];
        n2.registered = n2.enabled = 1;
        set4(n2.addr, "198.51.100.0");
        set4(n2.mask, "255.255.255.0");
        set4(n2.real, "198.51.100.10");
        n2.member[2] = 1;

        arp_make_entry4(n1.real, n1.realmac, 1, 1, 0, 1, 0, nullptr);
        arp_make_entry4(n1.virt, n1.virtmac, 1, 0, 0, 1, 0, nullptr);
        const uint8_t own6[6] = {0x06, 0x01, 0, 0x11, 0x22, 0x33};
        arp_make_entry(n1.real6, own6, 1, 1, 0, 1, 0, nullptr);
        tw_clear();
    }
    void TearDown() override
    {
        tw_detach_all();
        chain_clear();
        ah_clear(arp_table);
        mh_clear(mac_table);
    }
    int receive(int slot, const Frame &f) { return tw_receive(slot, f.data(), (int)f.size()); }
};

Frame arp_request(const char *sha, const char *spa, const char *tpa)
{
    return FrameBuilder().eth("ff:ff:ff:ff:ff:ff", sha).arp(1, sha, spa, "00:00:00:00:00:00", tpa).build();
}

Frame arp_reply(const char *sha, const char *spa, const char *tha, const char *tpa)
{
    return FrameBuilder().eth(tha, sha).arp(2, sha, spa, tha, tpa).build();
}

TEST_F(ArpModuleTest, RequestForOwnAddressesIsAnswered)
{
    struct {
        const char *ip;
        const char *mac;
    } rows[] = {{"192.0.2.10", REAL_MAC}, {"192.0.2.11", "06:00:c0:00:02:0b"}};
    for (auto &r : rows) {
        SCOPED_TRACE(r.ip);
        tw_clear();
        EXPECT_EQ(receive(1, arp_request(CLIENT_MAC, CLIENT_IP, r.ip)), 1);
        ASSERT_EQ(tw_sent_count(), 1);
        Frame expect = FrameBuilder().eth(CLIENT_MAC, r.mac).arp(2, r.mac, r.ip, CLIENT_MAC, CLIENT_IP).pad(56).build();
        const TWFRAME *out = tw_sent_slot(1, 0);
        ASSERT_NE(out, nullptr);
        EXPECT_EQ(out->received, 0);
        EXPECT_EQ(Frame(out->data, out->data + out->len), expect) << hex(Frame(out->data, out->data + out->len));
    }
    EXPECT_EQ(mh_interface_of(mac_table, mac_bytes(CLIENT_MAC).data()), 1) << "sender learned";
}

TEST_F(ArpModuleTest, RequestVerdicts)
{
    uint8_t t[4];
    set4(t, "192.0.2.20");
    AHENTRY *host = arp_make_entry4(t, mac_bytes("02:00:00:00:00:20").data(), 0, 0, 0, 1, 0, nullptr);
    struct {
        const char *name;
        int slot;
        const char *tpa;
        bool backup;
        int verdict;
    } rows[] = {
        {"VIP on a foreign interface", 2, "192.0.2.10", false, 1},
        {"unknown address passes on", 1, "192.0.2.99", false, 0},
        {"request for a known host is dropped", 1, "192.0.2.20", false, 1},
        {"VRRP backup keeps quiet for the virtual MAC", 1, "192.0.2.11", true, 1},
    };
    for (auto &r : rows) {
        SCOPED_TRACE(r.name);
        tw_clear();
        cfg.vrrp = VRRPCONF{};
        if (r.backup) {
            cfg.vrrp.vrid = 9;
            cfg.vrrp.priority = 100;
            cfg.vrrp.network = 1;
            cfg.vrrp.state = VRRP_BACKUP;
            memcpy(cfg.vrrp.vmac, mac_bytes("00:00:5e:00:01:09").data(), 6);
            memcpy(entry4("192.0.2.11")->mac, cfg.vrrp.vmac, 6);
        }
        EXPECT_EQ(receive(r.slot, arp_request(CLIENT_MAC, CLIENT_IP, r.tpa)), r.verdict);
        EXPECT_EQ(tw_sent_count(), 0);
    }
    EXPECT_EQ(memcmp(host->mac, mac_bytes("02:00:00:00:00:20").data(), 6), 0);
}

TEST_F(ArpModuleTest, GratuitousArpRelearnsHostEvenWithoutPsvrelearn)
{
    params[P_PSVRELEARN].current = 0;
    uint8_t t[4];
    set4(t, "192.0.2.20");
    AHENTRY *host = arp_make_entry4(t, mac_bytes("02:00:00:00:00:20").data(), 0, 0, 0, 1, 0, nullptr);
    EXPECT_EQ(receive(1, arp_request("02:00:00:00:00:21", "192.0.2.20", "192.0.2.20")), 1);
    EXPECT_EQ(memcmp(host->mac, mac_bytes("02:00:00:00:00:21").data(), 6), 0);
    EXPECT_EQ(log_count("gratuitous ARP accepted for 192.0.2.20, new MAC address is 02:00:00:00:00:21"), 1);
    // The same announcement again changes nothing and says nothing.
    EXPECT_EQ(receive(1, arp_request("02:00:00:00:00:21", "192.0.2.20", "192.0.2.20")), 1);
    EXPECT_EQ(log_count("gratuitous ARP accepted"), 1);
    // An own address is never taken over by a gratuitous ARP.
    EXPECT_EQ(receive(1, arp_request("02:00:00:00:00:66", "192.0.2.11", "192.0.2.11")), 1);
    EXPECT_EQ(memcmp(entry4("192.0.2.11")->mac, mac_bytes("06:00:c0:00:02:0b").data(), 6), 0);
}

TEST_F(ArpModuleTest, RepliesResolveOnMemberInterfacesOnly)
{
    params[P_ARPLOOKUP].current = 10;
    uint8_t t[4];
    set4(t, "192.0.2.1");
    AHENTRY *gw = arp_make_entry4(t, nullptr, 0, 0, 0, 0, 0, nullptr);
    cfg.gateway.configured = 1;
    memcpy(cfg.gateway.ipaddr, t, 4);
    cfg.gateway.arp.interval = 5;
    set_uptime(1234);

    EXPECT_EQ(receive(2, arp_reply("02:00:00:00:00:01", "192.0.2.1", REAL_MAC, "192.0.2.10")), 0);
    EXPECT_TRUE(mac_is_zero(gw->mac)) << "interface 2 is not in the network";
    EXPECT_EQ(receive(1, arp_reply("02:00:00:00:00:01", "192.0.2.1", REAL_MAC, "192.0.2.10")), 0);
    EXPECT_EQ(memcmp(gw->mac, mac_bytes("02:00:00:00:00:01").data(), 6), 0);
    EXPECT_EQ(gw->counter, 11);
    EXPECT_EQ(gw->last_answer, 1234u);
    EXPECT_EQ(cfg.gateway.arp.lastok, 1234u);
}

TEST_F(ArpModuleTest, ReplyClaimingOwnAddressIsLoggedAsConflict)
{
    EXPECT_EQ(receive(1, arp_reply("02:00:00:00:00:66", "192.0.2.10", "ff:ff:ff:ff:ff:ff", "192.0.2.10")), 0);
    EXPECT_EQ(log_count("IP address conflict: 02:00:00:00:00:66 claims to be local VIP 192.0.2.10"), 1);
    EXPECT_EQ(memcmp(entry4("192.0.2.10")->mac, mac_bytes(REAL_MAC).data(), 6), 0);
}

TEST_F(ArpModuleTest, StickyTargetKeepsItsInterface)
{
    params[P_STICKYTARGET].current = 1;
    uint8_t t[4];
    set4(t, "192.0.2.30");
    AHENTRY *e = arp_make_entry4(t, nullptr, 0, 0, 0, 0, 5, nullptr);
    cfg.networks[1].member[2] = 1;  // the target's segment reaches both interfaces

    // The target answers on interface 1: its MAC sticks there.
    EXPECT_EQ(receive(1, arp_reply("02:00:00:00:00:30", "192.0.2.30", REAL_MAC, "192.0.2.10")), 0);
    EXPECT_EQ(cfg.targets[5].sticky_interface, 1);
    EXPECT_EQ(mh_target_of(mac_table, mac_bytes("02:00:00:00:00:30").data()), 5);
    // A looped copy of its frame on interface 2 does not move it.
    EXPECT_EQ(receive(2, arp_reply("02:00:00:00:00:30", "192.0.2.30", REAL_MAC, "192.0.2.10")), 0);
    EXPECT_EQ(mh_interface_of(mac_table, mac_bytes("02:00:00:00:00:30").data()), 1);
    // A failover card announces itself on interface 2: the target's address
    // takes the new MAC, held on the sticky interface.
    EXPECT_EQ(receive(2, arp_request("02:00:00:00:00:31", "192.0.2.30", "192.0.2.30")), 1);
    EXPECT_EQ(memcmp(e->mac, mac_bytes("02:00:00:00:00:31").data(), 6), 0);
    EXPECT_EQ(mh_interface_of(mac_table, mac_bytes("02:00:00:00:00:31").data()), 1);
    EXPECT_EQ(log_count("IPv4 address 192.0.2.30 is target 5, sticky_interface = 1"), 1);
}

TEST_F(ArpModuleTest, NeighbourSolicitationIsAnswered)
{
    const char *own6mac = "06:01:00:11:22:33";
    struct {
        const char *name;
        const char *src;
        const char *dmac;
        const char *dst;
        uint8_t flags;
    } rows[] = {
        {"solicited", "2001:db8::50", CLIENT_MAC, "2001:db8::50", 0x60},
        {"duplicate address detection", "::", "33:33:00:00:00:01", "ff02::1", 0x20},
    };
    for (auto &r : rows) {
        SCOPED_TRACE(r.name);
        tw_clear();
        Frame ns = nd_frame("33:33:ff:00:00:10", CLIENT_MAC, r.src, "ff02::1:ff00:10", 135, 0, "2001:db8::10", 1,
                            CLIENT_MAC);
        EXPECT_EQ(receive(1, ns), 1);
        const TWFRAME *out = tw_sent_slot(1, 0);
        ASSERT_NE(out, nullptr);
        Frame got(out->data, out->data + out->len);
        ASSERT_EQ(got.size(), 86u);
        Frame expect = nd_frame(r.dmac, own6mac, "2001:db8::10", r.dst, 136, r.flags, "2001:db8::10", 2, own6mac);
        EXPECT_EQ(got, expect) << hex(got);
        EXPECT_EQ(checksum_errors(got), "");
    }
    // On the wrong interface, or for an address that is not ours: silence.
    tw_clear();
    Frame ns = nd_frame("33:33:ff:00:00:10", CLIENT_MAC, "2001:db8::50", "ff02::1:ff00:10", 135, 0, "2001:db8::10",
                        1, CLIENT_MAC);
    EXPECT_EQ(receive(2, ns), 1);
    Frame other = nd_frame("33:33:ff:00:00:77", CLIENT_MAC, "2001:db8::50", "ff02::1:ff00:77", 135, 0, "2001:db8::77",
                           1, CLIENT_MAC);
    EXPECT_EQ(receive(1, other), 0);
    EXPECT_EQ(tw_sent_count(), 0);
}

TEST_F(ArpModuleTest, NeighbourAdvertisementsLearnAndReportConflicts)
{
    uint8_t k[16];
    set6(k, "2001:db8::20");
    AHENTRY *host = arp_make_entry(k, nullptr, 0, 0, 0, 0, 0, nullptr);
    set_uptime(77);
    Frame na = nd_frame(REAL_MAC, "02:00:00:00:00:20", "2001:db8::20", "2001:db8::10", 136, 0x20, "2001:db8::20", 2,
                        "02:00:00:00:00:20");
    EXPECT_EQ(receive(1, na), 0);
    EXPECT_EQ(memcmp(host->mac, mac_bytes("02:00:00:00:00:20").data(), 6), 0);
    EXPECT_EQ(host->last_answer, 77u);

    Frame bad = nd_frame("33:33:00:00:00:01", "02:00:00:00:00:66", "2001:db8::10", "ff02::1", 136, 0x20,
                         "2001:db8::10", 2, "02:00:00:00:00:66");
    EXPECT_EQ(receive(1, bad), 0);
    EXPECT_EQ(log_count("IPv6 address conflict (bad Neighbor Advertisement): 02:00:00:00:00:66 claims to be local VIP 2001:db8::10"), 1);
    EXPECT_EQ(memcmp(entry6("2001:db8::10")->mac, mac_bytes("06:01:00:11:22:33").data(), 6), 0);
}

TEST_F(ArpModuleTest, BuiltNeighbourFramesCarryValidChecksums)
{
    uint8_t k[16];
    set6(k, "2001:db8::10");
    arp_send_neighbour_advert(k, mac_bytes("06:01:00:11:22:33").data(), 1);
    set6(k, "2001:db8::abcd:1234");
    memcpy(dmn.own_hwaddr, mac_bytes("06:01:00:aa:bb:cc").data(), 6);
    nd_send_solicitation(1, k);
    ASSERT_EQ(tw_sent_count(), 2);
    Frame una = nd_frame("33:33:00:00:00:01", "06:01:00:11:22:33", "2001:db8::10", "ff05::1", 136, 0x20,
                         "2001:db8::10", 1, "06:01:00:11:22:33");
    EXPECT_EQ(sent(0), una) << hex(sent(0));
    Frame ns = nd_frame("33:33:ff:cd:12:34", "02:01:00:aa:bb:cc", "2001:db8::10", "ff02::1:ffcd:1234", 135, 0,
                        "2001:db8::abcd:1234", 1, "02:01:00:aa:bb:cc");
    EXPECT_EQ(sent(1), ns) << hex(sent(1));
    EXPECT_EQ(checksum_errors(sent(0)), "");
    EXPECT_EQ(checksum_errors(sent(1)), "");
}

TEST_F(ArpModuleTest, RefreshAsksEveryArplookupThenEveryArprefresh)
{
    params[P_ARPLOOKUP].current = 10;
    params[P_ARPREFRESH].current = 60;
    uint8_t t[4];
    set4(t, "192.0.2.40");
    arp_make_entry4(t, nullptr, 0, 0, 0, 0, 7, nullptr);  // a target: resolved actively
    uint8_t p[4];
    set4(p, "192.0.2.41");
    arp_make_entry4(p, nullptr, 0, 0, 1, 0, 0, nullptr);  // passive: never asked for
    Frame request = FrameBuilder()
                        .eth("ff:ff:ff:ff:ff:ff", REAL_MAC)
                        .arp(1, REAL_MAC, "192.0.2.10", "00:00:00:00:00:00", "192.0.2.40")
                        .build();
    std::vector<unsigned> asked;
    unsigned now = 5000;
    for (int s = 0; s < 25; s++, now++) {
        set_uptime(now);
        tw_clear();
        arp_refresh();
        for (int i = 0; i < tw_sent_count(); i++) {
            EXPECT_EQ(sent(i), request) << hex(sent(i));
            asked.push_back(now - 5000);
        }
    }
    EXPECT_EQ(asked, (std::vector<unsigned>{0, 10, 20}));

    // An answer resolves it; the next request comes arprefresh + 1 seconds on.
    set_uptime(now);
    receive(1, arp_reply("02:00:00:00:00:40", "192.0.2.40", REAL_MAC, "192.0.2.10"));
    asked.clear();
    for (int s = 1; s <= 130; s++) {
        set_uptime(now + (unsigned)s);
        tw_clear();
        arp_refresh();
        if (tw_sent_count() > 0)
            asked.push_back((unsigned)s);
    }
    EXPECT_EQ(asked, (std::vector<unsigned>{61, 122}));
    EXPECT_EQ(memcmp(entry4("192.0.2.40")->mac, mac_bytes("02:00:00:00:00:40").data(), 6), 0)
        << "ageing never clears a MAC";
    std::string show = run_line("show arphash");
    EXPECT_NE(show.find("  ::ffff:192.0.2.40              4 02:00:00:00:00:40    7   -    19   130 \n"),
              std::string::npos)
        << show;
}

TEST_F(ArpModuleTest, ProbesAndAnnouncementsOfOwnAddresses)
{
    params[P_ARPREFRESH].current = 60;
    params[P_SENDPROBES].current = 1;
    int probes = 0;
    for (int s = 0; s < 120; s++) {
        tw_clear();
        arp_refresh();
        for (int i = 0; i < tw_sent_count(); i++) {
            Frame f = sent(i);
            ASSERT_EQ(f.size(), 42u);
            EXPECT_EQ(Frame(f.begin() + 28, f.begin() + 32), ip4_bytes("0.0.0.0")) << "probe sender is 0.0.0.0";
            EXPECT_EQ(Frame(f.begin() + 6, f.begin() + 12), mac_bytes(REAL_MAC));
            probes++;
        }
    }
    EXPECT_EQ(probes, 4) << "two IPv4 own addresses, once per arprefresh";

    // VRRP master announces the non-fixed addresses only, naming each;
    // reminders announce all of them without naming any.
    params[P_DEBUGSCOPE].current = 8;
    const char *named = "SENDING gratuitous ARP for 192.0.2.11 MAC address 06:00:c0:00:02:0b";
    int before = log_count("SENDING gratuitous ARP");
    int named_before = log_count(named);
    tw_clear();
    vrrp_send_gratuitous_arps();
    ASSERT_EQ(tw_sent_count(), 1);
    EXPECT_EQ(log_count(named), named_before + 1);
    EXPECT_EQ(log_count("SENDING gratuitous ARP"), before + 1);
    EXPECT_EQ(sent(0), FrameBuilder()
                           .eth("ff:ff:ff:ff:ff:ff", "06:00:c0:00:02:0b")
                           .arp(1, "06:00:c0:00:02:0b", "192.0.2.11", "00:00:00:00:00:00", "192.0.2.11")
                           .build());
    params[P_GRATARPREMIND].current = 2;
    struct {
        unsigned uptime;
        bool backup;
        int frames;
    } rows[] = {{240, false, 3}, {241, false, 0}, {360, false, 3}, {480, true, 0}};
    for (auto &r : rows) {
        SCOPED_TRACE(r.uptime);
        cfg.vrrp = VRRPCONF{};
        if (r.backup) {
            cfg.vrrp.vrid = 1;
            cfg.vrrp.priority = 50;
            cfg.vrrp.network = 1;
            cfg.vrrp.state = VRRP_BACKUP;
        }
        set_uptime(r.uptime);
        tw_clear();
        arp_gratuitous_reminders();
        EXPECT_EQ(tw_sent_count(), r.frames);
    }
    EXPECT_EQ(log_count("SENDING gratuitous ARP"), before + 1) << "reminders name no address";
    EXPECT_GE(log_count("remind_send_gratuitous_arps() #2 in regular_callback()"), 2);
}

TEST_F(ArpModuleTest, ShortFramesAreNeverReadPastTheirEnd)
{
    Frame req = arp_request(CLIENT_MAC, CLIENT_IP, "192.0.2.10");
    Frame ns = nd_frame("33:33:ff:00:00:10", CLIENT_MAC, "2001:db8::50", "ff02::1:ff00:10", 135, 0, "2001:db8::10", 1,
                        CLIENT_MAC);
    Frame te = FrameBuilder().eth(REAL_MAC, CLIENT_MAC).ipv4(CLIENT_IP, "192.0.2.10").icmp_echo(11, 0, 0).build();
    EXPECT_EQ(receive(1, te), 1) << "time exceeded is dropped";
    struct {
        const Frame *f;
        int len;
    } rows[] = {{&req, 0}, {&req, 13}, {&req, 14}, {&req, 41}, {&ns, 77}, {&ns, 54}, {&te, 34}, {&te, 20}};
    for (auto &r : rows) {
        SCOPED_TRACE(r.len);
        tw_clear();
        // An exactly sized heap copy, so a sanitizer build catches over-reads.
        std::vector<uint8_t> cut(r.f->begin(), r.f->begin() + r.len);
        uint8_t *p = r.len > 0 ? cut.data() : nullptr;
        std::vector<uint8_t> one(1);
        uint8_t *frame = p != nullptr ? p : one.data();
        FRAMEINFO fi;
        frame_parse(frame, r.len, &fi);
        EXPECT_EQ(mod_arp(1, r.len, frame, &fi), 0);
        EXPECT_EQ(tw_sent_count(), 0);
    }
}

TEST_F(ArpModuleTest, CommandsAndListings)
{
    int ok = 0;
    EXPECT_EQ(run_line("arp 192.0.2.60", &ok), "kvn# ");
    EXPECT_EQ(ok, 1);
    AHENTRY *e = entry4("192.0.2.60");
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->vis, 1);
    EXPECT_EQ(e->psv, 0);
    EXPECT_EQ(run_line("arp 2001:db8::60", &ok), "kvn# ");
    EXPECT_EQ(run_line("arp 192.0.2.999", &ok), "  ERROR: invalid ip4-address 192.0.2.999\nkvn# ");
    EXPECT_EQ(ok, 0);

    Capture c;
    write_static_arps(c.f, LINEFMT_FILE);
    EXPECT_EQ(c.str(), "arp       192.0.2.60\narp       2001:db8::60\n");

    std::string vips = run_line("show vips");
    EXPECT_NE(vips.find("  ipaddr                         ethaddr           n\n"
                        "  ------------------------------ -------------------\n"),
              std::string::npos);
    EXPECT_NE(vips.find("  ::ffff:192.0.2.10              06:00:c0:00:02:0a 1\n"), std::string::npos) << vips;
    EXPECT_EQ(vips.find("192.0.2.60"), std::string::npos);

    std::string ah = run_line("show arphash");
    EXPECT_NE(ah.find("  ::ffff:192.0.2.60              4 00:00:00:00:00:00    -   -     0     - vis \n"),
              std::string::npos)
        << ah;
    EXPECT_NE(ah.find("  ::ffff:192.0.2.10              4 06:00:c0:00:02:0a    -   1     -     - vip fix \n"),
              std::string::npos)
        << ah;

    receive(2, arp_request(CLIENT_MAC, CLIENT_IP, "198.51.100.99"));
    std::string mh = run_line("show machash");
    EXPECT_NE(mh.find("  ethaddr           tg ifc \n  ----------------- -- ----\n  02:00:00:00:00:99    eth2\n"),
              std::string::npos)
        << mh;

    EXPECT_EQ(run_line("no arp 192.0.2.60", &ok), "kvn# ");
    EXPECT_EQ(entry4("192.0.2.60"), nullptr);
    // A target's address only loses its static declaration.
    uint8_t t[4];
    set4(t, "192.0.2.61");
    arp_make_entry4(t, nullptr, 0, 0, 0, 0, 3, nullptr);
    run_line("arp 192.0.2.61");
    run_line("no arp 192.0.2.61");
    ASSERT_NE(entry4("192.0.2.61"), nullptr);
    EXPECT_EQ(entry4("192.0.2.61")->vis, 0);
}

TEST_F(ArpModuleTest, LifecycleHelpers)
{
    uint8_t k[16], ip[4];
    set4(ip, "192.0.2.77");
    ipv4_mapped(k, ip);
    EXPECT_EQ(network_containing(k), 1);
    EXPECT_EQ(arp_network_of(k), 0) << "no entry yet";
    arp_make_entry4(ip, nullptr, 0, 0, 0, 2, 0, nullptr);
    EXPECT_EQ(arp_network_of(k), 2);
    cfg.networks[2].enabled = 0;
    EXPECT_EQ(arp_network_of(k), 0);
    EXPECT_EQ(arp_find_network(k), 1);
    set6(k, "2001:db8::1:2");
    EXPECT_EQ(network_containing(k), 1);
    set6(k, "2001:db9::1");
    EXPECT_EQ(network_containing(k), 0);

    // Re-making a resolved target entry keeps its MAC.
    set4(ip, "192.0.2.78");
    AHENTRY *e = arp_make_entry4(ip, mac_bytes("02:00:00:00:00:78").data(), 0, 0, 0, 0, 0, nullptr);
    uint8_t via[4];
    set4(via, "192.0.2.1");
    arp_make_entry4(ip, nullptr, 0, 0, 0, 0, 8, via);
    EXPECT_EQ(memcmp(e->mac, mac_bytes("02:00:00:00:00:78").data(), 6), 0);
    EXPECT_EQ(e->target, 8);
    EXPECT_EQ(ah_lookup4(arp_table, ip), nullptr) << "via address has no entry";

    // VRRP switches the non-fixed own addresses and back.
    memcpy(cfg.vrrp.vmac, mac_bytes("00:00:5e:00:01:09").data(), 6);
    arp_switch_vip_macs(1);
    EXPECT_EQ(memcmp(entry4("192.0.2.11")->mac, cfg.vrrp.vmac, 6), 0);
    EXPECT_EQ(memcmp(cfg.networks[1].virtmac, cfg.vrrp.vmac, 6), 0);
    EXPECT_EQ(memcmp(entry4("192.0.2.10")->mac, mac_bytes(REAL_MAC).data(), 6), 0);
    int vmac_vips = 0;
    arp_walk_vips(cfg.vrrp.vmac, [](const uint8_t addr[16], void *arg) {
        EXPECT_EQ(addr[15], 11);
        ++*(int *)arg;
    }, &vmac_vips);
    EXPECT_EQ(vmac_vips, 1);
    arp_switch_vip_macs(0);
    EXPECT_EQ(memcmp(entry4("192.0.2.11")->mac, mac_bytes("06:00:c0:00:02:0b").data(), 6), 0);

    arp_enter_own_mac(mac_bytes(REAL_MAC).data());
    EXPECT_NE(mh_lookup(ownmac_table, mac_bytes(REAL_MAC).data()), nullptr);
    arp_delete4(ip);
    EXPECT_EQ(entry4("192.0.2.78"), nullptr);
}

}  // namespace
