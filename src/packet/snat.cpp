// The SNAT address pool, its expiry, and the commands around it:
// "snatrange", "no snatrange", the saved "snatrange" line and "show snat".
#include "packet/snat.h"

#include <mutex>

#include "command/command_table.h"
#include "command/interpreter.h"
#include "command/log.h"
#include "command/process.h"
#include "config/addr.h"
#include "config/config_writer.h"
#include "config/parameters.h"
#include "config/show.h"
#include "packet/age_list.h"
#include "packet/iset.h"

namespace {

struct SNATPOOL {
    std::mutex lock;          // guards everything below
    uint32_t start;           // first address of the range; 0 = no range
    uint32_t end;             // the range's end (not given out)
    uint32_t next;            // next address never given out
    ISET *reuse;              // given back, oldest first out; values unused
    ISET *l2r;                // left address -> pool address
    ISET *r2l;                // pool address -> left address
};

SNATPOOL pool;

bool active_locked()
{
    return pool.start != 0 && pool.end != 0 && pool.reuse != nullptr && pool.l2r != nullptr &&
           pool.r2l != nullptr;
}

void discard_locked()
{
    for (ISET **s : {&pool.reuse, &pool.l2r, &pool.r2l}) {
        iset_free(*s);
        *s = nullptr;
    }
    pool.start = pool.end = pool.next = 0;
}

void give_back_locked(uint32_t addr)
{
    iset_insert(pool.reuse, addr, 0);
}

// One expiry pass: the time and timeout it judges by.
struct EXPIRY {
    uint32_t now;
    uint32_t timeout;
};

// An association found stale in one direction (keyed by `key` with
// `value` in its set) ends only when the other direction's entry, if it
// points back, is stale too; that entry goes with it. Its pool address
// `addr` goes back to the re-use set, except when the other set is the
// one keyed by pool addresses and holds `addr` for another left address.
bool drop_direction(const EXPIRY &x, ISET *other, bool other_keyed_by_addr, uint32_t key, uint32_t value,
                    uint32_t touched, uint32_t addr)
{
    if (!age_stale(touched, x.now, x.timeout))
        return false;
    uint32_t back, back_touched;
    bool paired = iset_peek(other, value, &back, &back_touched);
    if (paired && back == key) {
        if (!age_stale(back_touched, x.now, x.timeout))
            return false;   // the other direction is still in use
        iset_remove(other, value);
    } else if (paired && other_keyed_by_addr) {
        return true;        // the pool address serves another association now
    }
    give_back_locked(addr);
    return true;
}

bool drop_l2r(uint32_t left, uint32_t right, uint32_t touched, void *arg)
{
    return drop_direction(*(const EXPIRY *)arg, pool.r2l, true, left, right, touched, right);
}

bool drop_r2l(uint32_t right, uint32_t left, uint32_t touched, void *arg)
{
    return drop_direction(*(const EXPIRY *)arg, pool.l2r, false, right, left, touched, right);
}

void expire_locked()
{
    EXPIRY x = {get_uptime(), (uint32_t)param_value(P_SNATTIMEOUT)};
    iset_scan(pool.l2r, drop_l2r, &x);
    iset_scan(pool.r2l, drop_r2l, &x);
}

uint32_t number_of(const uint8_t ip4[4])
{
    return (uint32_t)ip4[0] << 24 | (uint32_t)ip4[1] << 16 | (uint32_t)ip4[2] << 8 | ip4[3];
}

char *text_of(char *out, size_t n, uint32_t addr)
{
    const uint8_t ip4[4] = {(uint8_t)(addr >> 24), (uint8_t)(addr >> 16), (uint8_t)(addr >> 8), (uint8_t)addr};
    return format_ipv4(out, n, ip4);
}

} // namespace

bool snat_active()
{
    std::lock_guard<std::mutex> g(pool.lock);
    return active_locked();
}

uint32_t snat_allocate()
{
    std::lock_guard<std::mutex> g(pool.lock);
    if (!active_locked())
        return 0;
    uint32_t addr;
    if (iset_oldest(pool.reuse, &addr)) {
        iset_remove(pool.reuse, addr);
        return addr;
    }
    if (pool.next + 1 < pool.end)
        return pool.next++;
    log_message(6, "out of SNAT addresses");
    return 0;
}

void snat_release(uint32_t addr)
{
    std::lock_guard<std::mutex> g(pool.lock);
    if (!active_locked() || addr < pool.start || addr >= pool.end)
        return;
    uint32_t left, touched;
    if (iset_peek(pool.r2l, addr, &left, &touched)) {
        iset_remove(pool.r2l, addr);
        uint32_t right;
        if (iset_peek(pool.l2r, left, &right, &touched) && right == addr)
            iset_remove(pool.l2r, left);
    }
    give_back_locked(addr);
}

void snat_associate(uint32_t left, uint32_t right)
{
    std::lock_guard<std::mutex> g(pool.lock);
    if (!active_locked())
        return;
    iset_insert(pool.l2r, left, right);
    iset_insert(pool.r2l, right, left);
}

uint32_t snat_lookup_left(uint32_t left)
{
    std::lock_guard<std::mutex> g(pool.lock);
    return active_locked() ? iset_value(pool.l2r, left) : 0;
}

uint32_t snat_lookup_right(uint32_t right)
{
    std::lock_guard<std::mutex> g(pool.lock);
    return active_locked() ? iset_value(pool.r2l, right) : 0;
}

void snat_expire()
{
    std::lock_guard<std::mutex> g(pool.lock);
    if (active_locked())
        expire_locked();
}

bool snat_set_range(uint32_t from, uint32_t to)
{
    std::lock_guard<std::mutex> g(pool.lock);
    discard_locked();
    if (from == 0 || to == 0 || from >= to)
        return false;
    pool.reuse = iset_create();
    pool.l2r = iset_create();
    pool.r2l = iset_create();
    pool.start = from;
    pool.end = to;
    pool.next = from;
    return true;
}

void snat_clear()
{
    std::lock_guard<std::mutex> g(pool.lock);
    discard_locked();
}

// ---------------------------------------------------------------------------
// Commands

int cmd_snatrange(int, char **argv, FILE *)
{
    uint8_t a[4], b[4];
    const char *error = nullptr;
    uint32_t from = 0, to = 0;
    if (!parse_ipv4(argv[1], a) || !parse_ipv4(argv[2], b)) {
        error = "invalid IPv4 address format";
    } else {
        from = number_of(a);
        to = number_of(b);
        if (from == 0 || to == 0 || from >= to)
            error = "invalid range";
    }
    // The dry run of a reload only checks the words.
    if (reload_dry_run())
        return error != nullptr ? cmd_error("%s", error) : 1;
    if (error != nullptr) {
        snat_clear();
        return cmd_error("%s", error);
    }
    {
        // A reload that keeps the range keeps the pool: the sessions that
        // survive the reload go on using the addresses they were given,
        // which a fresh pool would hand out a second time.
        std::lock_guard<std::mutex> g(pool.lock);
        if (interp.reload_pass == 2 && active_locked() && pool.start == from && pool.end == to)
            return 1;
    }
    snat_set_range(from, to);
    return 1;
}

int cmd_no_snatrange(int, char **, FILE *)
{
    if (!reload_dry_run())
        snat_clear();
    return 1;
}

void write_snatrange(FILE *out, const char *fmt)
{
    uint32_t from, to;
    {
        std::lock_guard<std::mutex> g(pool.lock);
        if (!active_locked())
            return;
        from = pool.start;
        to = pool.end;
    }
    char a[16], b[16];
    cw_word(out, fmt, "snatrange");
    fprintf(out, "%s %s\n", text_of(a, sizeof a, from), text_of(b, sizeof b, to));
}

// ---------------------------------------------------------------------------
// show snat

namespace {

constexpr int SNAT_SHOWN = 21;   // lines listed per list before the cut-off

// The first SNAT_SHOWN + 1 entries of a set (the one more tells whether
// the cut-off line is due), copied under the lock and printed after it,
// so a slow reader of the output never holds up the packet path.
struct SHOWLIST {
    int n;
    struct {
        uint32_t key;
        uint32_t value;
        uint32_t touched;
    } row[SNAT_SHOWN + 1];
};

bool collect(uint32_t key, uint32_t value, uint32_t touched, void *arg)
{
    SHOWLIST *l = (SHOWLIST *)arg;
    l->row[l->n++] = {key, value, touched};
    return l->n < SNAT_SHOWN + 1;
}

// Prints a list's lines: the address alone for the re-use set, else age
// and both addresses.
void print_list(FILE *out, const SHOWLIST &l, bool pairs, uint32_t now)
{
    for (int i = 0; i < l.n && i < SNAT_SHOWN; i++) {
        char a[16], b[16];
        text_of(a, sizeof a, l.row[i].key);
        if (pairs)
            fprintf(out, "    %4d %s -> %s\n", (int)(now - l.row[i].touched), a,
                    text_of(b, sizeof b, l.row[i].value));
        else
            fprintf(out, "    %s\n", a);
    }
    if (l.n > SNAT_SHOWN)
        fputs("    ... additional entries available\n", out);
}

} // namespace

int show_snat(int, char **, FILE *out)
{
    SHOWLIST lists[3] = {};
    int counts[3];
    uint32_t from, to, next;
    {
        std::lock_guard<std::mutex> g(pool.lock);
        if (!active_locked()) {
            fputs("  SNAT not active\n", out);
            return 1;
        }
        expire_locked();
        ISET *sets[3] = {pool.reuse, pool.l2r, pool.r2l};
        for (int i = 0; i < 3; i++) {
            counts[i] = iset_count(sets[i]);
            iset_walk(sets[i], collect, &lists[i]);
        }
        from = pool.start;
        to = pool.end;
        next = pool.next;
    }
    uint32_t now = get_uptime();
    char a[16], b[16];
    fprintf(out, "  SNAT range active from %s to %s\n", text_of(a, sizeof a, from), text_of(b, sizeof b, to));
    fprintf(out, "  next previously unused address: %s\n", text_of(a, sizeof a, next));
    fprintf(out, "  number of addresses ready for re-use: %d\n", counts[0]);
    print_list(out, lists[0], false, now);
    fprintf(out, "  number of SNAT associations: %d/%d\n", counts[1], counts[2]);
    fputs("  left-to-right associations:\n", out);
    print_list(out, lists[1], true, now);
    fputs("  right-to-left associations:\n", out);
    print_list(out, lists[2], true, now);
    return 1;
}
