// Integer set: key to value with a touch time, chained by key modulo
// 30000, listed in insertion order.
#include "packet/iset.h"

#include <cstddef>

#include "command/process.h"
#include "config/pool.h"
#include "packet/age_list.h"

struct ISETENTRY {
    uint32_t key;        // the integer
    uint32_t value;      // what it maps to
    uint32_t touched;    // uptime of the insert or last touch
    ISETENTRY *next;     // bucket chain (the pool's chain; free list while free)
    AGELINK list;        // insertion order, newest first
};

struct ISET : LOCKEDPOOL {
    AGELIST list;   // every entry, newest at the head; the tail is the oldest
};

ISET *iset_create()
{
    return (ISET *)pool_table_new("iset_create()", sizeof(ISET), ISET_BUCKETS, sizeof(ISETENTRY),
                                  offsetof(ISETENTRY, next), ISET_CHUNK);
}

void iset_free(ISET *s)
{
    pool_table_free(s);
}

static ISETENTRY *entry_of(AGELINK *l)
{
    return (ISETENTRY *)((char *)l - offsetof(ISETENTRY, list));
}

static uint32_t bucket_of(uint32_t key)
{
    return key % ISET_BUCKETS;
}

static ISETENTRY *find(const ISET *s, uint32_t key)
{
    return (ISETENTRY *)pool_find(s, bucket_of(key), offsetof(ISETENTRY, key), &key, sizeof key);
}

static void remove_entry(ISET *s, ISETENTRY *e)
{
    pool_unlink(s, bucket_of(e->key), e);
    al_unlink(&s->list, &e->list);
    pool_give(s, e);
}

void iset_insert(ISET *s, uint32_t key, uint32_t value)
{
    uint32_t now = get_uptime();
    if (ISETENTRY *e = find(s, key)) {
        e->touched = now;
        return;
    }
    ISETENTRY *e = (ISETENTRY *)pool_take_or_exit(s, "cannot malloc() iset_insert()");
    e->key = key;
    e->value = value;
    e->touched = now;
    pool_push(s, bucket_of(key), e);
    al_push(&s->list, &e->list);
}

bool iset_remove(ISET *s, uint32_t key)
{
    ISETENTRY *e = find(s, key);
    if (e == nullptr)
        return false;
    remove_entry(s, e);
    return true;
}

bool iset_touch(ISET *s, uint32_t key)
{
    ISETENTRY *e = find(s, key);
    if (e != nullptr)
        e->touched = get_uptime();
    return e != nullptr;
}

uint32_t iset_value(ISET *s, uint32_t key)
{
    ISETENTRY *e = find(s, key);
    if (e == nullptr)
        return 0;
    e->touched = get_uptime();
    return e->value;
}

bool iset_peek(const ISET *s, uint32_t key, uint32_t *value, uint32_t *touched)
{
    const ISETENTRY *e = find(s, key);
    if (e == nullptr)
        return false;
    *value = e->value;
    *touched = e->touched;
    return true;
}

bool iset_oldest(const ISET *s, uint32_t *key)
{
    if (s->list.tail == nullptr)
        return false;
    *key = entry_of(s->list.tail)->key;
    return true;
}

int iset_count(const ISET *s)
{
    return s->count;
}

void iset_walk(const ISET *s, bool (*fn)(uint32_t key, uint32_t value, uint32_t touched, void *arg), void *arg)
{
    for (AGELINK *l = s->list.head; l != nullptr; l = l->next) {
        const ISETENTRY *e = entry_of(l);
        if (!fn(e->key, e->value, e->touched, arg))
            break;
    }
}

int iset_scan(ISET *s, bool (*drop)(uint32_t key, uint32_t value, uint32_t touched, void *arg), void *arg)
{
    int removed = 0;
    for (AGELINK *l = s->list.tail; l != nullptr;) {
        ISETENTRY *e = entry_of(l);
        l = l->prev;
        if (drop(e->key, e->value, e->touched, arg)) {
            remove_entry(s, e);
            removed++;
        }
    }
    return removed;
}
