// Filter lists as small open-addressing hash sets, one per list, each
// guarded by a reader/writer lock: the packet threads look up while a
// command inserts or empties. The key is 16 bytes (MACs use the first 6,
// rest zero), so one table layout serves both kinds.
#include "packet/filter_lists.h"

#include <cstring>
#include <pthread.h>

namespace {

constexpr int FL_BUCKETS = 4 * FL_CAPACITY;  // at most a quarter full: short probe runs

struct FLTABLE {
    uint8_t key[FL_BUCKETS][16];   // keys by bucket
    int16_t used[FL_BUCKETS];      // 1 when the bucket holds a key
    uint8_t order[FL_CAPACITY][16];// keys in insertion order
    int count;                     // entries
    pthread_rwlock_t lock;         // readers: packet threads; writer: commands
};

FLTABLE lists[FL_COUNT] = {
    {.key = {}, .used = {}, .order = {}, .count = 0, .lock = PTHREAD_RWLOCK_INITIALIZER},
    {.key = {}, .used = {}, .order = {}, .count = 0, .lock = PTHREAD_RWLOCK_INITIALIZER},
    {.key = {}, .used = {}, .order = {}, .count = 0, .lock = PTHREAD_RWLOCK_INITIALIZER},
    {.key = {}, .used = {}, .order = {}, .count = 0, .lock = PTHREAD_RWLOCK_INITIALIZER},
    {.key = {}, .used = {}, .order = {}, .count = 0, .lock = PTHREAD_RWLOCK_INITIALIZER},
};

unsigned bucket_of(const uint8_t k[16])
{
    uint32_t h = 2166136261u;  // FNV-1a
    for (int i = 0; i < 16; i++)
        h = (h ^ k[i]) * 16777619u;
    return h % FL_BUCKETS;
}

// Bucket holding k, or -1; caller holds the lock.
int find(const FLTABLE &t, const uint8_t k[16])
{
    unsigned b = bucket_of(k);
    for (int n = 0; n < FL_BUCKETS && t.used[b]; n++, b = (b + 1) % FL_BUCKETS)
        if (memcmp(t.key[b], k, 16) == 0)
            return (int)b;
    return -1;
}

bool insert(int list, const uint8_t k[16])
{
    if (list < 0 || list >= FL_COUNT)
        return false;
    FLTABLE &t = lists[list];
    pthread_rwlock_wrlock(&t.lock);
    bool ok = true;
    if (find(t, k) < 0) {
        if (t.count >= FL_CAPACITY) {
            ok = false;
        } else {
            unsigned b = bucket_of(k);
            while (t.used[b])
                b = (b + 1) % FL_BUCKETS;
            memcpy(t.key[b], k, 16);
            t.used[b] = 1;
            memcpy(t.order[t.count++], k, 16);
        }
    }
    pthread_rwlock_unlock(&t.lock);
    return ok;
}

bool has(int list, const uint8_t k[16])
{
    if (list < 0 || list >= FL_COUNT)
        return false;
    FLTABLE &t = lists[list];
    if (t.count == 0)
        return false;  // the common case of an unused list costs no lock
    pthread_rwlock_rdlock(&t.lock);
    bool found = find(t, k) >= 0;
    pthread_rwlock_unlock(&t.lock);
    return found;
}

void mac_key(uint8_t k[16], const uint8_t mac[6])
{
    memset(k, 0, 16);
    memcpy(k, mac, 6);
}

} // namespace

bool fl_insert_mac(int list, const uint8_t mac[6])
{
    uint8_t k[16];
    mac_key(k, mac);
    return insert(list, k);
}

bool fl_insert_ip(int list, const uint8_t addr[16]) { return insert(list, addr); }

bool fl_has_mac(int list, const uint8_t mac[6])
{
    uint8_t k[16];
    mac_key(k, mac);
    return has(list, k);
}

bool fl_has_ip(int list, const uint8_t addr[16]) { return has(list, addr); }

void fl_clear(int list)
{
    if (list < 0 || list >= FL_COUNT)
        return;
    FLTABLE &t = lists[list];
    pthread_rwlock_wrlock(&t.lock);
    memset(t.used, 0, sizeof t.used);
    t.count = 0;
    pthread_rwlock_unlock(&t.lock);
}

int fl_count(int list) { return list >= 0 && list < FL_COUNT ? lists[list].count : 0; }

const uint8_t *fl_entry(int list, int i)
{
    if (list < 0 || list >= FL_COUNT || i < 0 || i >= lists[list].count)
        return nullptr;
    return lists[list].order[i];
}
