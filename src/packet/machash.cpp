// MACHASH: MAC address to interface, with the sticky-target rule and the
// bounded warnings about MACs moving between interfaces.
#include "packet/machash.h"

#include <cstddef>
#include <cstdio>
#include <cstring>

#include "command/log.h"
#include "command/process.h"
#include "config/config_state.h"
#include "config/parameters.h"
#include "packet/frame.h"

MACHASH *mac_table = mh_create();
MACHASH *ownmac_table = mh_create();
MACHASH *macrouter_list = mh_create();

static const uint8_t zero_mac[6] = {0, 0, 0, 0, 0, 0};

// Name of an interface slot for messages.
static const char *ifname(uint32_t slot)
{
    if (slot < (uint32_t)IFSLOTS)
        return cfg.interfaces[slot].name;
    return "?";
}

MACHASH *mh_create()
{
    return (MACHASH *)pool_table_new("MACHASH", sizeof(MACHASH), MH_BUCKETS, sizeof(MHENTRY), offsetof(MHENTRY, next),
                                     MH_CHUNK);
}

int mh_bucket(const uint8_t mac[6])
{
    unsigned sum = (mac[0] * 256u + mac[1]) + (mac[2] * 256u + mac[3]) + (mac[4] * 256u + mac[5]);
    return (int)(sum % MH_BUCKETS);
}

// The entry of a MAC; the caller holds the lock.
static MHENTRY *find(MACHASH *t, const uint8_t mac[6])
{
    return (MHENTRY *)pool_find(t, (uint32_t)mh_bucket(mac), offsetof(MHENTRY, mac), mac, 6);
}

void mh_walk(MACHASH *t, void (*fn)(MHENTRY *e, void *arg), void *arg)
{
    pool_rdlock(t);
    POOLWALK w = {};
    while (MHENTRY *e = (MHENTRY *)pool_walk(t, &w))
        if (e->iface != MH_NOIF)
            fn(e, arg);
    pool_unlock(t);
}

// This thread's answers of mh_lookup and mh_interface_of, for every table
// (generations tell the tables apart). For mh_interface_of the answer is
// stored, not the entry, so a hit reads nothing a writer may be changing;
// an entry pointer stays valid for the table's life, and which entry holds
// a MAC changes only under the writer lock.
static thread_local POOLCACHE lookup_cache;
static thread_local POOLCACHE interface_cache;

MHENTRY *mh_lookup(MACHASH *t, const uint8_t mac[6])
{
    uintptr_t cached;
    if (pool_cache_get(&lookup_cache, t, mac, 6, &cached))
        return (MHENTRY *)cached;
    pool_rdlock(t);
    MHENTRY *e = find(t, mac);
    pool_cache_put(&lookup_cache, t, mac, 6, (uintptr_t)e);
    pool_unlock(t);
    return e;
}

// The locked lookup behind a miss of the interface cache; out of line,
// so that the hit path stays small enough to be inlined into mh_learn.
[[gnu::noinline]] static int interface_locked(MACHASH *t, const uint8_t mac[6])
{
    pool_rdlock(t);
    MHENTRY *e = find(t, mac);
    int iface = (e == nullptr || e->iface == MH_NOIF) ? -1 : (int)e->iface;
    pool_cache_put(&interface_cache, t, mac, 6, (uintptr_t)(intptr_t)iface);
    pool_unlock(t);
    return iface;
}

int mh_interface_of(MACHASH *t, const uint8_t mac[6])
{
    uintptr_t cached;
    if (pool_cache_get(&interface_cache, t, mac, 6, &cached))
        return (int)(intptr_t)cached;
    return interface_locked(t, mac);
}

int mh_target_of(MACHASH *t, const uint8_t mac[6])
{
    pool_rdlock(t);
    MHENTRY *e = find(t, mac);
    int target = (e != nullptr && e->iface != MH_NOIF && e->target_flag == 1) ? e->target : -1;
    pool_unlock(t);
    return target;
}

bool mh_learn(MACHASH *t, const uint8_t mac[6], uint32_t iface)
{
    // Only individual addresses are reachable on one interface.
    if (mac_is_multicast(mac))
        return false;
    int where = mh_interface_of(t, mac);
    if (where >= 0 && (uint32_t)where == iface)
        return true;
    mh_insert(t, mac, iface);
    return false;
}

// A MAC changing interface: VRRP virtual router MACs (00:00:5e:00:01:xx)
// and 00:00:00:00:fe:xx legitimately move, so they are not reported.
static bool moves_silently(const uint8_t mac[6])
{
    static const uint8_t vrrp[5] = {0x00, 0x00, 0x5e, 0x00, 0x01};
    static const uint8_t fe[5] = {0x00, 0x00, 0x00, 0x00, 0xfe};
    return memcmp(mac, vrrp, 5) == 0 || memcmp(mac, fe, 5) == 0;
}

// Reports a known MAC seen on another interface; the caller holds the
// writer lock and stores the new interface afterwards.
static void warn_move(MHENTRY *e, uint32_t iface)
{
    const uint8_t *m = e->mac;
    if (e->target_flag == 1) {
        log_message(4, "target %d address %02x:%02x:%02x:%02x:%02x:%02x first seen on interface %s, now on interface %s",
                    e->target, m[0], m[1], m[2], m[3], m[4], m[5], ifname(e->iface), ifname(iface));
        return;
    }
    if (e->warnings < MH_WARNLIMIT) {
        log_message(6, "address %02x:%02x:%02x:%02x:%02x:%02x first seen on interface %s, now on interface %s",
                    m[0], m[1], m[2], m[3], m[4], m[5], ifname(e->iface), ifname(iface));
        e->warnings++;
    } else if (e->warnings == MH_WARNLIMIT) {
        log_message(6, "address %02x:%02x:%02x:%02x:%02x:%02x first seen on interface %s, now in interface %s",
                    m[0], m[1], m[2], m[3], m[4], m[5], ifname(e->iface), ifname(iface));
        log_message(6, "address %02x:%02x:%02x:%02x:%02x:%02x further warnings suppressed",
                    m[0], m[1], m[2], m[3], m[4], m[5]);
        e->warnings++;
    }
}

void mh_insert(MACHASH *t, const uint8_t mac[6], uint32_t iface)
{
    if (memcmp(mac, zero_mac, 6) == 0)
        return;
    pool_wrlock(t);
    MHENTRY *e = find(t, mac);
    if (e != nullptr) {
        if (e->iface == MH_NOIF) {
            e->iface = iface;
            e->target_flag = 0;
            e->warnings = 0;
        } else if (e->target_flag == 1 && param_value(P_STICKYTARGET) == 1) {
            // A target's MAC stays on the interface it stuck to, whatever
            // a flooded or looped frame claims.
            int sticky = valid_target(e->target) ? cfg.targets[e->target].sticky_interface : STICKY_NONE;
            if (sticky != STICKY_NONE && (uint32_t)sticky != e->iface) {
                log_message(6, "stickytarget active, target %d kept permanently on interface %d instead of %d",
                            e->target, sticky, (int)e->iface);
                e->iface = (uint32_t)sticky;
            }
        } else if (e->iface != iface) {
            if (!moves_silently(mac))
                warn_move(e, iface);
            e->iface = iface;
        }
        pool_unlock(t);
        return;
    }
    if (t->count > MH_TOOMANY)
        log_message(4, "too many mac addresses (%d), potential attack", t->count);
    e = (MHENTRY *)pool_take(t);
    if (e == nullptr) {
        perror("mh_insert(): cannot malloc");
        daemon_exit(EXIT_OSERR);
    }
    memcpy(e->mac, mac, 6);
    e->iface = iface;  // target flag, target and warnings start at 0
    pool_push(t, (uint32_t)mh_bucket(mac), e);
    pool_unlock(t);
}

void mh_mark_target(MACHASH *t, const uint8_t mac[6], int target)
{
    if (!valid_target(target))
        return;
    pool_wrlock(t);
    MHENTRY *e = find(t, mac);
    if (e != nullptr && e->iface != MH_NOIF) {
        e->target_flag = 1;
        e->target = target;
        TARGET &tg = cfg.targets[target];
        if (tg.sticky_interface == STICKY_NONE) {
            tg.sticky_interface = (int32_t)e->iface;
            if (param_value(P_STICKYTARGET) == 1)
                log_message(6, "stickytarget active, target %d now sticks to interface %d", target, (int)e->iface);
        }
    }
    pool_unlock(t);
}

void mh_set_interface(MACHASH *t, const uint8_t mac[6], uint32_t iface)
{
    pool_wrlock(t);
    MHENTRY *e = find(t, mac);
    if (e != nullptr)
        e->iface = iface;
    pool_unlock(t);
}
