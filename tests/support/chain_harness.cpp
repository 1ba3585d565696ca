#include "support/chain_harness.h"

#include <cstdlib>
#include <cstring>

#include "config/addr.h"
#include "config/config_state.h"
#include "packet/arp.h"
#include "packet/chain.h"
#include "packet/filter_lists.h"
#include "packet/machash.h"
#include "packet/test_wire.h"
#include "support/support.h"

namespace {

const char *const HARNESS_CHAINS[] = {
    "vrrp,arp,ping,hc,master,slb,tnat,nat,rt",
    "macdeny,ipdeny,strict,ip4debug,sctpdebug,ping,switch",
    "ipallow,macallow,crossover",
    "master,out",
};

void vip(const char *text, int v6)
{
    uint8_t key[16], mac[6] = {0x06, 0x00, 0xc0, 0x00, 0x02, 0x0a};
    if (v6) {
        parse_ipv6(text, key);
    } else {
        uint8_t a[4];
        parse_ipv4(text, a);
        ipv4_mapped(key, a);
    }
    arp_make_entry(key, mac, 1, 0, 1, 1, 0, nullptr);
}

} // namespace

void chain_harness_init()
{
    kvn_test_reset();
    tw_detach_all();
    ah_clear(arp_table);
    mh_clear(mac_table);
    for (int l = 0; l < FL_COUNT; l++)
        fl_clear(l);
    const uint8_t macs[3][6] = {{2, 0, 0, 0, 1, 1}, {2, 0, 0, 0, 2, 2}, {2, 0, 0, 0, 3, 3}};
    tw_attach(1, "eth1", macs[0]);
    tw_attach(2, "eth2", macs[1]);
    tw_attach(3, "eth3", macs[2]);
    NETWORK &n = cfg.networks[1];
    n.registered = n.enabled = 1;
    n.member[1] = n.member[2] = 1;
    parse_ipv4("192.0.2.0", n.addr);
    parse_ipv4("255.255.255.0", n.mask);
    parse_ipv4("192.0.2.10", n.real);
    parse_ipv4("192.0.2.100", n.virt);
    vip("192.0.2.10", 0);
    vip("192.0.2.100", 0);
    vip("2001:db8::10", 1);
    run_line("ipallow ::ffff:192.0.2.1");
    run_line("ipdeny ::ffff:198.51.100.66");
    run_line("macdeny 02:00:00:00:00:66");
    run_line("macallow 02:00:00:00:00:c1");
}

int chain_harness_run(const uint8_t *data, size_t size)
{
    if (size > FRAMEBUF - 1)
        size = FRAMEBUF - 1;
    int sent = 0;
    for (const char *c : HARNESS_CHAINS) {
        chain_set(c);
        tw_clear();
        // Exact-size heap copy: reading past the frame leaves the
        // allocation and the address sanitizer reports it.
        uint8_t *buf = (uint8_t *)malloc(size > 0 ? size : 1);
        if (size > 0)
            memcpy(buf, data, size);
        tw_dispatch(1, buf, (int)size);
        free(buf);
        // Every frame the modules send is a whole Ethernet frame: a forward
        // or echo reply no longer than what came in, or a frame built anew
        // (ARP reply 56 bytes, neighbour advertisement 86 bytes), which may
        // be longer than a short request.
        const int built_max = 86;
        int limit = (int)size > built_max ? (int)size : built_max;
        for (int i = 0; i < tw_sent_count(); i++) {
            const TWFRAME *f = tw_sent(i);
            if (f->len < ETH_HDRLEN || f->len > limit)
                return -1;
        }
        sent += tw_sent_count() + tw_overflow();
    }
    return sent;
}
