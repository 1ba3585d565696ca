// MACHASH: MAC address to interface, with the sticky-target rule and the
// bounded warnings about MACs moving between interfaces.
#include "packet/machash.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "command/log.h"
#include "command/process.h"
#include "config/config_state.h"
#include "config/parameters.h"

MACHASH *mac_table = mh_create();
MACHASH *ownmac_table = mh_create();

static const uint8_t zero_mac[6] = {0, 0, 0, 0, 0, 0};

static void rdlock(MACHASH *t)
{
    pthread_rwlock_rdlock(&t->lock);
}

static void wrlock(MACHASH *t)
{
    pthread_rwlock_wrlock(&t->lock);
    t->write_locks++;
}

static void unlock(MACHASH *t)
{
    pthread_rwlock_unlock(&t->lock);
}

// Name of an interface slot for messages.
static const char *ifname(uint32_t slot)
{
    if (slot < (uint32_t)IFSLOTS)
        return cfg.interfaces[slot].name;
    return "?";
}

MACHASH *mh_create()
{
    MACHASH *t = (MACHASH *)calloc(1, sizeof(MACHASH));
    if (t == nullptr) {
        log_message(0, "cannot malloc() MACHASH");
        daemon_exit(EXIT_OSERR);
    }
    table_rwlock_init(&t->lock);
    t->chunk_used = MH_CHUNK;  // no chunk yet: the first insert takes one
    return t;
}

void mh_free(MACHASH *t)
{
    if (t == nullptr)
        return;
    MHCHUNK *c = t->chunks;
    while (c != nullptr) {
        MHCHUNK *next = c->next;
        free(c);
        c = next;
    }
    pthread_rwlock_destroy(&t->lock);
    free(t);
}

void mh_clear(MACHASH *t)
{
    wrlock(t);
    for (int b = 0; b < MH_BUCKETS; b++) {
        MHENTRY *e = t->bucket[b];
        while (e != nullptr) {
            MHENTRY *next = e->next;
            e->next = t->free;
            t->free = e;
            e = next;
        }
        t->bucket[b] = nullptr;
    }
    t->count = 0;
    unlock(t);
}

int mh_bucket(const uint8_t mac[6])
{
    unsigned sum = (mac[0] * 256u + mac[1]) + (mac[2] * 256u + mac[3]) + (mac[4] * 256u + mac[5]);
    return (int)(sum % MH_BUCKETS);
}

// The entry of a MAC; the caller holds the lock.
static MHENTRY *find(MACHASH *t, const uint8_t mac[6])
{
    for (MHENTRY *e = t->bucket[mh_bucket(mac)]; e != nullptr; e = e->next)
        if (memcmp(e->mac, mac, 6) == 0)
            return e;
    return nullptr;
}

// An unused entry from the free list or the newest chunk; the caller holds
// the writer lock. A failed allocation ends the daemon.
static MHENTRY *take_entry(MACHASH *t)
{
    if (t->free != nullptr) {
        MHENTRY *e = t->free;
        t->free = e->next;
        return e;
    }
    if (t->chunk_used == MH_CHUNK) {
        MHCHUNK *c = (MHCHUNK *)calloc(1, sizeof(MHCHUNK));
        if (c == nullptr) {
            perror("mh_insert(): cannot malloc");
            daemon_exit(EXIT_OSERR);
        }
        c->next = t->chunks;
        t->chunks = c;
        t->chunk_used = 0;
    }
    return &t->chunks->entry[t->chunk_used++];
}

void mh_walk(MACHASH *t, void (*fn)(MHENTRY *e, void *arg), void *arg)
{
    rdlock(t);
    for (int b = 0; b < MH_BUCKETS; b++)
        for (MHENTRY *e = t->bucket[b]; e != nullptr; e = e->next)
            if (e->iface != MH_NOIF)
                fn(e, arg);
    unlock(t);
}

MHENTRY *mh_lookup(MACHASH *t, const uint8_t mac[6])
{
    rdlock(t);
    MHENTRY *e = find(t, mac);
    unlock(t);
    return e;
}

int mh_interface_of(MACHASH *t, const uint8_t mac[6])
{
    rdlock(t);
    MHENTRY *e = find(t, mac);
    int iface = (e == nullptr || e->iface == MH_NOIF) ? -1 : (int)e->iface;
    unlock(t);
    return iface;
}

int mh_target_of(MACHASH *t, const uint8_t mac[6])
{
    rdlock(t);
    MHENTRY *e = find(t, mac);
    int target = (e != nullptr && e->iface != MH_NOIF && e->target_flag == 1) ? e->target : -1;
    unlock(t);
    return target;
}

void mh_learn(MACHASH *t, const uint8_t mac[6], uint32_t iface)
{
    rdlock(t);
    MHENTRY *e = find(t, mac);
    bool known = e != nullptr && e->iface == iface;
    unlock(t);
    if (!known)
        mh_insert(t, mac, iface);
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
    wrlock(t);
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
        unlock(t);
        return;
    }
    if (t->count > MH_TOOMANY)
        log_message(4, "too many mac addresses (%d), potential attack", t->count);
    e = take_entry(t);
    memcpy(e->mac, mac, 6);
    e->iface = iface;
    e->target_flag = 0;
    e->target = 0;
    e->warnings = 0;
    int b = mh_bucket(mac);
    e->next = t->bucket[b];
    t->bucket[b] = e;
    t->count++;
    unlock(t);
}

void mh_mark_target(MACHASH *t, const uint8_t mac[6], int target)
{
    if (!valid_target(target))
        return;
    wrlock(t);
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
    unlock(t);
}

void mh_set_interface(MACHASH *t, const uint8_t mac[6], uint32_t iface)
{
    wrlock(t);
    MHENTRY *e = find(t, mac);
    if (e != nullptr)
        e->iface = iface;
    unlock(t);
}
