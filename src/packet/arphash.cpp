// ARPHASH: IP address to MAC, with per-address state, and the MAC learning
// rules that protect own addresses and known hosts from being taken over.
#include "packet/arphash.h"

#include <bit>
#include <cstddef>
#include <cstdio>
#include <cstring>

#include "command/log.h"
#include "command/process.h"
#include "config/addr.h"
#include "config/object_types.h"
#include "config/parameters.h"
#include "packet/machash.h"

ARPHASH *arp_table = ah_create();

static const uint8_t zero_mac[6] = {0, 0, 0, 0, 0, 0};
static const uint8_t zero_ip4[4] = {0, 0, 0, 0};

ARPHASH *ah_create()
{
    return (ARPHASH *)pool_table_new("ARPHASH", sizeof(ARPHASH), AH_BUCKETS, sizeof(AHENTRY), offsetof(AHENTRY, next),
                                     AH_CHUNK);
}

int ah_bucket(const uint8_t key[16])
{
    uint32_t h = key[0];
    for (int i = 1; i < 16; i++)
        h = h * 31u + key[i];
    return (int)(h % AH_BUCKETS);
}

// The head of a bucket chain; the caller holds the lock.
static AHENTRY *chain(const ARPHASH *t, int b)
{
    return (AHENTRY *)t->bucket[b];
}

// The entry of exactly this key; the caller holds the lock.
static AHENTRY *find(ARPHASH *t, const uint8_t key[16])
{
    return (AHENTRY *)pool_find(t, (uint32_t)ah_bucket(key), offsetof(AHENTRY, addr), key, 16);
}

// The entry of a key with its via address followed; the caller holds the
// lock. One step only: a via entry of a via entry is not followed
// further, so a loop of via addresses cannot hang a reader.
static AHENTRY *find_following(ARPHASH *t, const uint8_t key[16])
{
    AHENTRY *e = find(t, key);
    if (e != nullptr && memcmp(e->via, zero_ip4, 4) != 0) {
        uint8_t via[16];
        ipv4_mapped(via, e->via);
        e = find(t, via);
    }
    return e;
}

// This thread's answers of ah_find and of ah_lookup, for every table. An
// answer depends on the chains, the keys and the via addresses, all
// changed only under the writer lock, so it holds while the generation
// does.
static thread_local POOLCACHE find_cache;
static thread_local POOLCACHE lookup_cache;

AHENTRY *ah_find(ARPHASH *t, const uint8_t key[16])
{
    uintptr_t cached;
    if (pool_cache_get(&find_cache, t, key, 16, &cached))
        return (AHENTRY *)cached;
    pool_rdlock(t);
    AHENTRY *e = find(t, key);
    pool_cache_put(&find_cache, t, key, 16, (uintptr_t)e);
    pool_unlock(t);
    return e;
}

AHENTRY *ah_lookup(ARPHASH *t, const uint8_t key[16])
{
    uintptr_t cached;
    if (pool_cache_get(&lookup_cache, t, key, 16, &cached))
        return (AHENTRY *)cached;
    pool_rdlock(t);
    AHENTRY *e = find_following(t, key);
    pool_cache_put(&lookup_cache, t, key, 16, (uintptr_t)e);
    pool_unlock(t);
    return e;
}

// This thread's copies of ah_resolve answers, packed into the row's
// value: the MAC's six bytes in the low 48 bits (in memory order), network in bits 48-55, vip in bit 56 and
// bit 63 set for a found entry (via followed); the key's own entry's
// network in bits 57-61 and bit 62 set when that entry exists (0 = no
// entry at all). Every field is written only under the writer lock,
// which changes the generation first, so a row holds what a locked lookup
// would copy while the generation stays.
static thread_local POOLCACHE resolve_cache;
constexpr uintptr_t RESOLVE_FOUND = (uintptr_t)1 << 63;
constexpr uintptr_t RESOLVE_KEY_FOUND = (uintptr_t)1 << 62;
constexpr int RESOLVE_KEY_NETWORK_SHIFT = 57;
constexpr uintptr_t RESOLVE_KEY_NETWORK_MASK = 0x1f;
constexpr uintptr_t RESOLVE_VIP = (uintptr_t)1 << 56;
static_assert(MAXNETWORK <= (int)RESOLVE_KEY_NETWORK_MASK, "network numbers fit the packed field");

static uintptr_t resolve_pack(const AHENTRY *key_entry, const AHENTRY *e)
{
    uintptr_t v = 0;
    if (key_entry != nullptr && valid_network(key_entry->network))
        v |= RESOLVE_KEY_FOUND | ((uintptr_t)key_entry->network << RESOLVE_KEY_NETWORK_SHIFT);
    else if (key_entry != nullptr)
        v |= RESOLVE_KEY_FOUND;
    if (e == nullptr)
        return v;
    v |= RESOLVE_FOUND | ((uintptr_t)(uint8_t)e->network << 48);
    if (e->vip)
        v |= RESOLVE_VIP;
    uint64_t mac = 0;
    memcpy(&mac, e->mac, 6);
    if constexpr (std::endian::native == std::endian::big)
        mac >>= 16;
    return v | mac;
}

// The packed answer for a key, from this thread's copy when it holds.
static uintptr_t resolve_value(ARPHASH *t, const uint8_t key[16])
{
    uintptr_t v;
    if (!pool_cache_get(&resolve_cache, t, key, 16, &v)) {
        pool_rdlock(t);
        AHENTRY *k = find(t, key);
        AHENTRY *e = k;
        if (k != nullptr && memcmp(k->via, zero_ip4, 4) != 0) {
            uint8_t via[16];
            ipv4_mapped(via, k->via);
            e = find(t, via);
        }
        v = resolve_pack(k, e);
        pool_cache_put(&resolve_cache, t, key, 16, v);
        pool_unlock(t);
    }
    return v;
}

bool ah_resolve(ARPHASH *t, const uint8_t key[16], AHHOP *out)
{
    uintptr_t v = resolve_value(t, key);
    out->key_network = (int32_t)((v >> RESOLVE_KEY_NETWORK_SHIFT) & RESOLVE_KEY_NETWORK_MASK);
    if ((v & RESOLVE_FOUND) == 0)
        return false;
    uint64_t mac = v & 0xffffffffffffu;
    if constexpr (std::endian::native == std::endian::big)
        mac <<= 16;
    memcpy(out->mac, &mac, 6);
    out->network = (int32_t)((v >> 48) & 0xff);
    out->vip = (v & RESOLVE_VIP) != 0;
    return true;
}

AHENTRY *ah_lookup4(ARPHASH *t, const uint8_t ip4[4])
{
    uint8_t key[16];
    ipv4_mapped(key, ip4);
    return ah_lookup(t, key);
}

void ah_walk(ARPHASH *t, void (*fn)(AHENTRY *e, void *arg), void *arg)
{
    pool_rdlock(t);
    POOLWALK w = {};
    while (AHENTRY *e = (AHENTRY *)pool_walk(t, &w))
        fn(e, arg);
    pool_unlock(t);
}

void ah_delete(ARPHASH *t, const uint8_t key[16])
{
    pool_wrlock(t);
    int b = ah_bucket(key);
    // Rebuild the chain without the key; the survivors end up reversed.
    AHENTRY *e = chain(t, b);
    AHENTRY *kept = nullptr;
    while (e != nullptr) {
        AHENTRY *next = e->next;
        if (memcmp(e->addr, key, 16) == 0) {
            pool_give(t, e);
        } else {
            e->next = kept;
            kept = e;
        }
        e = next;
    }
    t->bucket[b] = kept;
    pool_unlock(t);
}

void ah_delete4(ARPHASH *t, const uint8_t ip4[4])
{
    uint8_t key[16];
    ipv4_mapped(key, ip4);
    ah_delete(t, key);
}

// A known address shows another MAC; the caller holds the writer lock.
static void relearn(AHENTRY *e, const uint8_t mac[6])
{
    char text[64];
    const uint8_t *o = e->mac;
    if (e->vip) {
        // Own addresses never change hands through a frame.
        log_message(6, "IP address conflict: %02x.%02x.%02x.%02x.%02x.%02x claims to be VIP %s",
                    mac[0], mac[1], mac[2], mac[3], mac[4], mac[5], format_ipv6(text, sizeof text, e->addr));
        return;
    }
    if (mh_lookup(macrouter_list, mac) != nullptr)
        return;  // a router answering for a host must not hide the host
    if (param_value(P_PSVRELEARN) == 0)
        return;
    if (e->macchanges <= AH_WARNLIMIT) {
        format_ipv6(text, sizeof text, e->addr);
        log_message(6, "IP address %s changed MAC address from %02x.%02x.%02x.%02x.%02x.%02x to %02x.%02x.%02x.%02x.%02x.%02x",
                    text, o[0], o[1], o[2], o[3], o[4], o[5], mac[0], mac[1], mac[2], mac[3], mac[4], mac[5]);
        if (e->macchanges == AH_WARNLIMIT)
            log_message(6, "IP address %s further warnings suppressed", text);
        e->macchanges++;
    }
    memcpy(e->mac, mac, 6);
}

AHENTRY *ah_insert(ARPHASH *t, const uint8_t key[16], const uint8_t mac[6])
{
    pool_wrlock(t);
    AHENTRY *e = find(t, key);
    if (e != nullptr) {
        // A zero MAC given for a known address means "no news": keeping the
        // resolved MAC avoids making a reachable address unreachable until
        // its next refresh.
        if (memcmp(mac, zero_mac, 6) != 0 && memcmp(e->mac, mac, 6) != 0) {
            if (memcmp(e->mac, zero_mac, 6) == 0)
                memcpy(e->mac, mac, 6);
            else
                relearn(e, mac);
        }
        pool_unlock(t);
        return e;
    }
    e = (AHENTRY *)pool_take(t);
    if (e == nullptr) {
        perror("ah_insert(): cannot malloc");
        daemon_exit(EXIT_OSERR);
    }
    memcpy(e->addr, key, 16);
    e->family = is_ipv4_mapped(key) ? 4 : 6;
    memcpy(e->mac, mac, 6);
    e->psv = 1;
    e->target = -1;
    pool_push(t, (uint32_t)ah_bucket(key), e);
    pool_unlock(t);
    return e;
}

AHENTRY *ah_insert4(ARPHASH *t, const uint8_t ip4[4], const uint8_t mac[6])
{
    uint8_t key[16];
    ipv4_mapped(key, ip4);
    return ah_insert(t, key, mac);
}

AHENTRY *ah_insert_new(ARPHASH *t, const AHENTRY *proto)
{
    pool_wrlock(t);
    if (find(t, proto->addr) != nullptr) {
        pool_unlock(t);
        return nullptr;
    }
    AHENTRY *e = (AHENTRY *)pool_take(t);
    if (e == nullptr) {
        perror("ah_insert(): cannot malloc");
        daemon_exit(EXIT_OSERR);
    }
    *e = *proto;
    e->family = is_ipv4_mapped(proto->addr) ? 4 : 6;
    e->next = nullptr;
    pool_push(t, (uint32_t)ah_bucket(proto->addr), e);
    pool_unlock(t);
    return e;
}
