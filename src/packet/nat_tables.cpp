// The NAT tables together: the expiry step the once-a-second callback
// runs `natscan` times, and "show nat", which lists the GNAT associations
// and then the TCP and UDP port tables.
#include <vector>

#include "command/process.h"
#include "config/addr.h"
#include "config/parameters.h"
#include "config/show.h"
#include "packet/gnat.h"
#include "packet/nattable.h"
#include "packet/regular_callback.h"

void nat_scan()
{
    gnat_expire_step(gnat_table);
    for (NATTABLE *t : nat_tables)
        nat_expire_step(t);
}

namespace {

// A listing shows `limit` + 1 entries and then, when more remain, the
// cut-off line. The entries are copied under the table's lock and printed
// after it, so a slow reader of the output holds up no insert.
struct GNATROWS {
    int count;                    // live entries seen
    size_t keep;                  // entries to copy: one more than are shown
    std::vector<GNATPAIR> rows;   // the first `keep` of them, newest first
};

struct NATROWS {
    int count;
    size_t keep;
    std::vector<NATPAIR> rows;
};

bool collect_gnat(const GNATPAIR &p, void *arg)
{
    GNATROWS *r = (GNATROWS *)arg;
    r->count++;
    if (r->rows.size() < r->keep)
        r->rows.push_back(p);
    return true;
}

bool collect_nat(const NATPAIR &p, void *arg)
{
    NATROWS *r = (NATROWS *)arg;
    r->count++;
    if (r->rows.size() < r->keep)
        r->rows.push_back(p);
    return true;
}

void print_count(FILE *out, const char *name, int n)
{
    fprintf(out, "%s: %d %s\n", name, n, n == 1 ? "entry" : "entries");
}

// Rows to print of the `kept` copies: all, unless `keep` were copied, of
// which the last only tells that more remain.
size_t shown(size_t kept, size_t keep)
{
    return kept < keep ? kept : keep - 1;
}

void cut_off(FILE *out, size_t kept, size_t keep)
{
    if (kept == keep)
        fputs("  ... remaining entries not shown\n", out);
}

// Ages are taken against the clock read after the copies, so an entry
// refreshed meanwhile shows 0, not a negative age.
void show_gnat(FILE *out)
{
    GNATROWS r = {0, (size_t)param_value(P_GNATDLIMIT) + 2, {}};
    r.rows.reserve(r.keep);
    gnat_walk(gnat_table, collect_gnat, &r);
    uint32_t now = get_uptime();
    print_count(out, " GNAT", r.count);
    size_t n = shown(r.rows.size(), r.keep);
    for (size_t i = 0; i < n; i++) {
        const GNATPAIR &p = r.rows[i];
        char left[64], right[64];
        format_ip16(left, sizeof left, p.left.addr);
        format_ip16(right, sizeof right, p.right.addr);
        fprintf(out, "  %s %s %d %s %s %d %d\n", left, gnat_type_name(p.left.type), p.left.port, right,
                gnat_type_name(p.right.type), p.right.port, (int)(now - p.last_used));
    }
    cut_off(out, r.rows.size(), r.keep);
}

void show_port_table(FILE *out, const char *name, NATTABLE *t)
{
    NATROWS r = {0, (size_t)param_value(P_NATDLIMIT) + 2, {}};
    r.rows.reserve(r.keep);
    nat_walk(t, collect_nat, &r);
    uint32_t now = get_uptime();
    print_count(out, name, r.count);
    fputs("    ip-address      iport  oport  age\n", out);
    fputs("    --------------- -----  ----- ----\n", out);
    size_t n = shown(r.rows.size(), r.keep);
    for (size_t i = 0; i < n; i++) {
        const NATPAIR &p = r.rows[i];
        char ip[16];
        fprintf(out, "    %-15s %5d  %5d %4d\n", format_ipv4(ip, sizeof ip, p.addr), p.iport, p.oport,
                (int)(now - p.last_used));
    }
    cut_off(out, r.rows.size(), r.keep);
}

} // namespace

int show_nat(int, char **, FILE *out)
{
    show_gnat(out);
    show_port_table(out, "  TCP", nat_tables[NAT_TCP]);
    show_port_table(out, "  UDP", nat_tables[NAT_UDP]);
    return 1;
}
