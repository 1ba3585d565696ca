#include "support/chain_harness.h"

#include <cstdlib>
#include <cstring>

#include "config/addr.h"
#include "packet/arp.h"
#include "packet/chain.h"
#include "packet/test_wire.h"
#include "support/nat_wire.h"
#include "support/support.h"

namespace {

const char *const HARNESS_CHAINS[CHAIN_HARNESS_CHAINS] = {
    "vrrp,arp,ping,hc,master,slb,tnat,nat,rt",
    "macdeny,ipdeny,strict,ip4debug,sctpdebug,ping,switch",
    "ipallow,macallow,crossover",
    "master,out",
};

} // namespace

bool chain_harness_init()
{
    if (!nat_wire_init())
        return false;
    // A balanced address of network 1 that is none of its own.
    uint8_t key[16], mac[6] = {0x06, 0x00, 0xc0, 0x00, 0x02, 0x0a};
    parse_ipv6("2001:db8::10", key);
    arp_make_entry(key, mac, 1, 0, 1, 1, 0, nullptr);
    run_line("ipallow ::ffff:192.0.2.1");
    run_line("ipdeny ::ffff:198.51.100.66");
    run_line("macdeny 02:00:00:00:00:66");
    run_line("macallow 02:00:00:00:00:c1");
    return true;
}

int chain_harness_run_chain(int chain, const uint8_t *data, size_t size)
{
    if (size > FRAMEBUF - 1)
        size = FRAMEBUF - 1;
    chain_set(HARNESS_CHAINS[chain]);
    tw_clear();
    // Exact-size heap copy: reading past the frame leaves the allocation
    // and the address sanitizer reports it.
    uint8_t *buf = (uint8_t *)malloc(size > 0 ? size : 1);
    if (size > 0)
        memcpy(buf, data, size);
    tw_dispatch(1, buf, (int)size);
    free(buf);
    // Every frame the modules send is a whole Ethernet frame: a forward,
    // a translation or an echo reply, none longer than what came in (a
    // translation rewrites fields in place), or a frame built anew (an
    // ARP request or reply, a neighbour solicitation or advertisement: at
    // most 86 bytes), which may be longer than a short input.
    const int built_max = 86;
    int limit = (int)size > built_max ? (int)size : built_max;
    for (int i = 0; i < tw_sent_count(); i++) {
        const TWFRAME *f = tw_sent(i);
        if (f->len < ETH_HDRLEN || f->len > limit)
            return -1;
    }
    return tw_sent_count() + tw_overflow();
}

int chain_harness_run(const uint8_t *data, size_t size)
{
    int sent = 0;
    for (int c = 0; c < CHAIN_HARNESS_CHAINS; c++) {
        int n = chain_harness_run_chain(c, data, size);
        if (n < 0)
            return -1;
        sent += n;
    }
    return sent;
}
