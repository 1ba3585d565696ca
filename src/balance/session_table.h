// SESSIONTABLE: which target of which server serves each client session
// identifier, so that every later frame of the client goes to the same
// target until the session has been idle longer than its timeout.
//
// Storage. The table is a LOCKEDPOOL: STSIZE bucket heads (calloc()ed and
// touched only where a session hashes), entries taken from chunks of
// STCHUNK, expired entries back on the pool's free list, nothing returned
// to the system while the process runs. Every live session is in one
// doubly linked bucket chain, on the all-sessions list (newest first), and
// on at most one of the three synchronisation lists (NEW, WAITACK,
// ACKED). Sessions are never deleted directly: they expire by idleness or
// are marked by a removal command (last used 0), and the garbage
// collection step, run twice before every creation and from the once-a-
// second scan, reclaims them one at a time as its cursor sweeps the
// all-sessions list.
//
// Ids. A session id is at most ST_IDMAX characters; every st_ function cuts
// the id it is given to that length on entry, so the table hashes,
// compares and stores the same text and a longer id is found again.
//
// Locking. One reader/writer lock guards the whole table. The plain forms
// (st_lookup, st_lookup_target, st_refresh, st_gc_step, st_shorten and the
// _unlocked list operations) expect the caller to hold it: the packet path
// takes the writer lock (st_wrlock) around its lookup and refresh. The
// _locked forms and the rest take the lock themselves, as each says. A
// lookup under the reader lock still stores the session's last-used and
// last-synced words; those are atomic single-word accesses. Per-target and
// per-server session counts are changed under that object's mutex, taken
// while the table lock is held (table lock first, object mutex second),
// never lowered below 0, and left alone for a number outside its table.
//
// Pointers. A SESSION pointer is valid only while the caller holds the
// lock it was found under. One kept after the lock is released still
// points at readable memory (entries are never freed), but the entry may
// have been reclaimed and reused for another session meanwhile.
//
// Server and target numbers. A session holds whatever numbers it was given
// (a session file, the synchronisation peer): test them with valid_server
// / valid_target before indexing the object tables; a number outside its
// table names no object (not enabled, not operational).
#pragma once

#include <cstdint>
#include <cstdio>

#include "config/pool.h"
#include "packet/age_list.h"

constexpr int32_t STSIZE = 1 << 24;      // bucket heads
constexpr int32_t STCHUNK = 65536;       // entries per chunk
constexpr int ST_IDMAX = 63;             // longest stored session id
constexpr int ST_IDLEN = ST_IDMAX + 1;   // id storage, always NUL-terminated
// st_refresh's timeout for a server whose sessions are not kept.
constexpr uint32_t ST_TIMEOUT_NULL = 0xFFFFFFFFu;

// Which synchronisation list a session is on.
enum STLIST : uint8_t {
    ST_LIST_NONE = 0,
    ST_LIST_NEW = 1,      // not yet announced in the acknowledged mode, or refreshed since
    ST_LIST_WAITACK = 2,  // sent, waiting for the backup's acknowledgement
    ST_LIST_ACKED = 3,    // acknowledged by the backup
};
constexpr int ST_LISTS = 4;  // list heads indexed by STLIST; [ST_LIST_NONE] is unused

struct SESSION {
    char id[ST_IDLEN];     // the key, NUL-terminated
    uint32_t addr;         // attached IPv4 address, host order; 0 = none
    int32_t server;        // server number (may lie outside the server table)
    int32_t target;        // target number (may lie outside the target table)
    uint32_t timeout;      // idle timeout in seconds; 0 = the parameter `sessiontimeout`
    uint32_t ftimeout;     // timeout once a TCP FIN or RST is seen; 0 = none
    uint32_t last_used;    // uptime of the last use; 0 = expired; atomic access
    uint32_t last_synced;  // uptime of the last announcement to the peer; atomic access
    SESSION *chain_next;   // bucket chain (the pool's link: the free list while free)
    SESSION *chain_prev;   // bucket chain; nullptr for the bucket's first session
    AGELINK all;           // the all-sessions list, newest first
    AGELINK sync;          // the synchronisation list named by `list`
    uint32_t bucket;       // st_bucket(id), so unlinking needs no rehash
    uint8_t list;          // STLIST
};

// The pool's `count` is the table's total of live sessions (marked ones
// not yet reclaimed included), its `chunk_count` the chunks allocated.
struct SESSIONTABLE : LOCKEDPOOL {
    uint32_t created;                 // sessions the packet path created since start-up
    AGELIST all;                      // every live session, with the garbage collection cursor
    AGELIST lists[ST_LISTS];          // NEW, WAITACK, ACKED by STLIST (their cursors unused)
    int32_t list_count[ST_LISTS];     // sessions on each list
    SESSION *pin;                     // an entry the step must not reclaim (a batched walk resumes there)
    uint32_t announce_second;         // uptime second of the announcement count (writer lock)
    int32_t announce_count;           // announcements of creations and refreshes in that second
};

// Walking a synchronisation list under the lock: the first session of a
// list and the one after a session on its list; nullptr at the end.
SESSION *st_first(SESSIONTABLE *t, STLIST list);
SESSION *st_next(const SESSION *s);

// The table of the daemon, made at start-up.
extern SESSIONTABLE *session_table;

// A new empty table: no chunk, untouched heads. "cannot malloc()
// SESSIONTABLE" and exit 71 when it cannot be had.
SESSIONTABLE *st_init();
// Discards a table made by st_init; no other thread may use it.
void st_free(SESSIONTABLE *t);
// Empties a table and returns its chunks, touching only the bucket heads
// its sessions used (tests reset the daemon's table this way); no other
// thread may hold one of its sessions.
void st_clear(SESSIONTABLE *t);

// The bucket of an id (already cut): h = 5381, h = h * 33 + c for each byte
// taken as signed, in unsigned 32-bit arithmetic, masked to 24 bits.
uint32_t st_bucket(const char *id, size_t len);

// An id as the table keeps it: cut to ST_IDMAX characters (len of them
// from id on), with its bucket.
struct STKEY {
    const char *id;
    size_t len;
    uint32_t bucket;
};
STKEY st_key(const char *id);

// The table's lock.
void st_rdlock(SESSIONTABLE *t);
void st_wrlock(SESSIONTABLE *t);
void st_unlock(SESSIONTABLE *t);

// The table's clock: the uptime, read as 1 during the first second (a
// last-used time of 0 means expired, and a session made then, such as one
// a session file loads at start-up, must not be born dead).
uint32_t st_now();
// Whether a session has expired at `now`: marked (last used 0), or idle
// for more than its timeout (the session's, or `sessiontimeout` for 0). A
// session with timeout T is still valid T seconds after its last use.
bool st_expired(const SESSION *s, uint32_t now);
// Marks a session expired (last used 0): no lookup finds it any more and
// the next garbage collection step that reaches it reclaims it. Allowed
// under the reader lock.
void st_mark(SESSION *s);
// The session's timeout as it takes effect (the parameter for 0).
uint32_t st_timeout(const SESSION *s);

// Lookup by id and server (st_lookup_target: by id and target) among the
// unexpired sessions, the first match in the chain. A hit is used now and,
// when its last announcement is `sessionsynciv` seconds old, announced
// again. nullptr when none matches. Caller holds the lock (either kind).
SESSION *st_lookup(SESSIONTABLE *t, const char *id, int server);
SESSION *st_lookup_target(SESSIONTABLE *t, const char *id, int target);
// The same for an id whose table key the caller made already (the packet
// path's key maker keeps them per thread): the id as st_key gives it.
SESSION *st_lookup_key(SESSIONTABLE *t, const STKEY &key, int server);
SESSION *st_lookup_target_key(SESSIONTABLE *t, const STKEY &key, int target);
// The same under the reader lock.
SESSION *st_lookup_locked(SESSIONTABLE *t, const char *id, int server);
SESSION *st_lookup_target_locked(SESSIONTABLE *t, const char *id, int target);
// By id alone, under the reader lock: a hit is used now, not announced.
SESSION *st_lookup_id(SESSIONTABLE *t, const char *id);
// Marks the session st_lookup_id would find, under the same reader lock
// hold (so the mark cannot reach an entry reclaimed in between); 1 when
// there was one.
int st_mark_id(SESSIONTABLE *t, const char *id);
// The id "a.b.c.d:port" of an IPv4 address and a port in network order,
// looked up under the reader lock.
SESSION *st_lookup4(SESSIONTABLE *t, const uint8_t addr[4], const uint8_t port[2], int server);
SESSION *st_lookup_target4(SESSIONTABLE *t, const uint8_t addr[4], const uint8_t port[2], int target);

// Insert or update, under the writer lock (session files, the fill command,
// sessions from the peer): after two garbage collection steps, a session
// of (id, server) gets the target and timeout (the count moving with the
// target); otherwise a new session on NEW raises its target's and server's
// counts. The created counter is not raised.
void st_update(SESSIONTABLE *t, const char *id, int server, int target, uint32_t timeout);
void st_update4(SESSIONTABLE *t, const uint8_t addr[4], const uint8_t port[2], int server, int target,
                uint32_t timeout);

// Find or create for the packet path; the caller holds the writer lock.
// After two garbage collection steps: timeout ST_TIMEOUT_NULL creates
// nothing (nullptr). A new session is put on NEW, counted as created (the
// table's and the server's counters) and announced within `maxsyncps`;
// the current counts are left to the caller. An existing one takes the
// target, lowers the old target's and the server's current counts (the
// caller raises them again for wherever the frame goes: st_count), is used
// and announced now, and returns to NEW.
SESSION *st_refresh(SESSIONTABLE *t, const char *id, int server, int target, uint32_t timeout);
// The same under the writer lock.
SESSION *st_refresh_locked(SESSIONTABLE *t, const char *id, int server, int target, uint32_t timeout);
SESSION *st_refresh4(SESSIONTABLE *t, const uint8_t addr[4], const uint8_t port[2], int server, int target,
                     uint32_t timeout);

// A TCP FIN or RST on a session: its timeout becomes its ftimeout (when it
// has one), nothing else changes; no count moves, so the packet path uses
// this rather than st_refresh for those frames. Caller holds the writer
// lock.
void st_shorten(SESSIONTABLE *t, SESSION *s);

// Raises (delta 1) or lowers (delta -1) the current session counts of a
// target and of its server, each under the object's mutex, never below 0;
// a number outside its table is skipped. Caller holds the table lock.
void st_count(int server, int target, int delta);

// One garbage collection step: 1 when the session under the cursor was
// expired and has been reclaimed (unlinked everywhere, its counts lowered),
// else 0 with the cursor moved on (to the list head after the end).
// st_gc_step expects the writer lock; st_gc_step_locked takes it.
int st_gc_step(SESSIONTABLE *t);
int st_gc_step_locked(SESSIONTABLE *t);
// The once-a-second scan: `sessionscan` (`sessionscanbup` on a VRRP
// backup) less one steps, then steps until one reclaims nothing or
// `sessiongclimit` of them have run; each step takes the writer lock.
void st_scan(SESSIONTABLE *t);

// Calls fn for every unexpired session, newest first, under the reader
// lock; a negative result ends the walk. fn must not take the table lock
// (st_mark is fine). Returns the number of sessions fn was called for.
int st_foreach(SESSIONTABLE *t, int (*fn)(SESSION *s, void *arg), void *arg);

// A walk over the unexpired sessions, newest first, that holds the reader
// lock for at most ST_BATCH entries at a time, so that a long listing or a
// dump never stops the packet threads for long. Between batches the entry
// where the walk resumes is pinned: the garbage collection step passes it
// by. One batched walk at a time per table (commands run one at a time).
constexpr int ST_BATCH = 4096;
struct STWALK {
    bool started;  // the first batch has run
    bool done;     // the walk has ended
};
// The next batch: fn for each unexpired session among the next ST_BATCH
// entries. fn returns 0 to go on, a positive value to end the batch after
// this session (the walk resumes with the next one), a negative value to
// end the walk. fn must not take the table lock (st_mark is fine). Returns
// the number of sessions fn was called for.
int st_walk_batch(SESSIONTABLE *t, STWALK *w, int (*fn)(SESSION *s, void *arg), void *arg);
// Ends a walk before its end (the pin goes); harmless after the end.
void st_walk_end(SESSIONTABLE *t, STWALK *w);
// All batches of a walk in turn, for callbacks that read and mark only.
int st_foreach_batched(SESSIONTABLE *t, int (*fn)(SESSION *s, void *arg), void *arg);

// Synchronisation list moves: off whichever of the two other lists the
// session is on, onto the head of the named one; a session on neither
// other list is left as it is. Writer lock taken; the _unlocked forms
// expect it held.
void st_set_new(SESSIONTABLE *t, SESSION *s);
void st_set_waitack(SESSIONTABLE *t, SESSION *s);
void st_set_acked(SESSIONTABLE *t, SESSION *s);
void st_set_new_unlocked(SESSIONTABLE *t, SESSION *s);
void st_set_waitack_unlocked(SESSIONTABLE *t, SESSION *s);
void st_set_acked_unlocked(SESSIONTABLE *t, SESSION *s);
// 1 when the session is on the list, else 0; reader lock taken, or held
// for the _unlocked forms.
int st_is_new(SESSIONTABLE *t, SESSION *s);
int st_is_waitack(SESSIONTABLE *t, SESSION *s);
int st_is_acked(SESSIONTABLE *t, SESSION *s);
int st_is_new_unlocked(SESSIONTABLE *t, SESSION *s);
int st_is_waitack_unlocked(SESSIONTABLE *t, SESSION *s);
int st_is_acked_unlocked(SESSIONTABLE *t, SESSION *s);

// Removes a session at once, under the writer lock: unlinked from every
// chain and list, its counts lowered, its entry back on the free list.
void st_release(SESSIONTABLE *t, SESSION *s);

// The table's counters, read together under the reader lock.
struct STCOUNTS {
    int32_t total;     // live sessions (marked ones not yet reclaimed included)
    uint32_t created;  // sessions created by the packet path since start-up
    int32_t fresh;     // on NEW
    int32_t waitack;   // on WAITACK
    int32_t acked;     // on ACKED
    int32_t chunks;    // entry chunks allocated
};
void st_counts(SESSIONTABLE *t, STCOUNTS *c);

// `show stinfo` and `show maxbucket`, under the reader lock (the bucket
// walk takes it for one slice of buckets at a time).
void st_info(SESSIONTABLE *t, FILE *out);
void st_maxbucket(SESSIONTABLE *t, FILE *out);

// The synchronisation sender the table announces sessions to (id, server,
// target, timeout); sync_announce_session, replaced by tests that count
// announcements. Called with the table lock held (the packet path holds
// the writer lock across its lookup and refresh), so it must not take it.
extern void (*st_announce)(const char *id, int server, int target, uint32_t timeout);

// After a successful reload: every session for which
// reload_session_survives (config/config_files.h) is false is marked.
void reload_session_sweep();
