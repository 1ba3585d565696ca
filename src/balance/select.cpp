// Target selection (see select.h): eligibility, the methods, the plugin
// request, the backup scan, `rndtest` and `show sessiongroups`.
//
// The methods sit in one table indexed by the server's method code. Each
// returns a target number, or 0 when it finds none, which sends the
// selection on to the backup scan.
#include "balance/select.h"

#include <cmath>
#include <cstdlib>

#include "balance/bandwidth.h"
#include "command/command_table.h"
#include "command/interpreter.h"
#include "command/log.h"
#include "command/process.h"
#include "config/addr.h"
#include "config/config_state.h"
#include "config/parameters.h"
#include "config/show.h"
#include "health/health.h"
#include "health/scripts.h"
#include "ipdb/ipdb.h"
#include "ipdb/lgrp.h"
#include "packet/frame.h"

constexpr uint64_t VALUE_MAX = 0xFFFFFFFFu;  // largest compared value

// The client frame a selection is for, and what is derived from it.
struct SELCLIENT {
    const uint8_t *frame;   // the client's frame, or nullptr
    int len;                // its length
    const FRAMEINFO *fi;    // its parse, or nullptr
    int location;           // client location for the location test; -1 = none
    unsigned now;           // uptime of the selection (bandwidth rates)
};

// ---------------------------------------------------------------------------
// Pseudo-random numbers: splitmix64 over a shared counter. One atomic add
// per draw keeps concurrent draws (packet threads, `rndtest` in a command
// thread) apart without a lock, and a seed gives a repeatable sequence.

static uint64_t rnd_state;

void select_seed(uint64_t seed)
{
    __atomic_store_n(&rnd_state, seed, __ATOMIC_RELAXED);
}

static uint64_t select_rand()
{
    uint64_t z = __atomic_add_fetch(&rnd_state, 0x9E3779B97F4A7C15ull, __ATOMIC_RELAXED);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

// ---------------------------------------------------------------------------
// Counters read under the target's mutex

// A target's session count and agent value, taken together.
struct TCOUNTS {
    int32_t sessions;
    uint32_t agent;
};

static TCOUNTS counts_of(int n)
{
    TARGET &t = cfg.targets[n];
    pthread_mutex_lock(&t.lock);
    TCOUNTS c = {t.cur_sessions, t.agent_value};
    pthread_mutex_unlock(&t.lock);
    return c;
}

// Sum of the current session counts of the registered members of group g.
static int64_t group_sessions(int g)
{
    const SESSIONGROUP &grp = cfg.sessiongroups[g];
    int64_t sum = 0;
    for (int i = 0; i < grp.count && i <= MAXTARGET; i++) {
        int m = grp.members[i];
        if (valid_target(m) && cfg.targets[m].registered)
            sum += counts_of(m).sessions;
    }
    return sum;
}

bool target_eligible(int n)
{
    if (!valid_target(n))
        return false;
    const TARGET &t = cfg.targets[n];
    if (!t.registered || t.softdisabled || !target_operational(n))
        return false;
    if (t.maxagent == 0 && t.maxsessions == 0 && t.maxgrpsessions == 0)
        return true;
    TCOUNTS c = counts_of(n);
    if (t.maxagent != 0 && (int64_t)c.agent > (int64_t)t.maxagent)
        return false;
    if (t.maxsessions != 0 && c.sessions > t.maxsessions)
        return false;
    if (t.maxgrpsessions != 0 && t.sessiongroup >= 0 && t.sessiongroup <= MAXSESSIONGROUP &&
        cfg.sessiongroups[t.sessiongroup].count > 0 && group_sessions(t.sessiongroup) > t.maxgrpsessions)
        return false;
    return true;
}

// Eligible and passing the location test.
static bool candidate(const SELCLIENT &c, int n)
{
    return target_eligible(n) && lgrp_member(c.location, n);
}

// ---------------------------------------------------------------------------
// Values of the minimum searches

// The scale as the methods use it: rounded to the nearest integer (a
// scale that is not a number counts as 0, a huge one is capped so the
// product stays meaningful).
static uint64_t rounded_scale(double scale)
{
    if (!(scale > 0.0))
        return 0;
    if (scale >= 4294967296.0)
        return 4294967296ull;
    return (uint64_t)llround(scale);
}

// raw × the rounded scale when that is not 1, a product of 0 becoming 1;
// saturating.
static uint64_t scaled(uint64_t raw, double scale)
{
    uint64_t k = rounded_scale(scale);
    if (k == 1)
        return raw;
    uint64_t p;
    if (__builtin_mul_overflow(raw, k, &p))
        p = UINT64_MAX;
    return p == 0 ? 1 : p;
}

// v + offset, clamped to 0..VALUE_MAX.
static uint64_t with_offset(uint64_t v, int32_t offset)
{
    int64_t sum = (int64_t)(v > VALUE_MAX ? VALUE_MAX : v) + offset;
    if (sum < 0)
        return 0;
    return (uint64_t)sum > VALUE_MAX ? VALUE_MAX : (uint64_t)sum;
}

// A target's value for a minimum search; false when it is no candidate
// of that method beyond the eligibility and location tests.
using VALUEFN = bool (*)(const SELCLIENT &c, int n, uint64_t *value);

static bool has_agent_check(const TARGET &t)
{
    return t.agent.interval > 0 || t.agent6.interval > 0 || (t.ascript.cmd[0] != '\0' && t.ascript.interval > 0);
}

static bool value_agent(const SELCLIENT &, int n, uint64_t *value)
{
    const TARGET &t = cfg.targets[n];
    if (!has_agent_check(t))
        return false;
    uint32_t agent = counts_of(n).agent;
    *value = agent == 0 ? 0 : with_offset(scaled(agent, t.scale), t.offset);
    return true;
}

static bool value_session(const SELCLIENT &, int n, uint64_t *value)
{
    const TARGET &t = cfg.targets[n];
    int32_t sessions = counts_of(n).sessions;
    uint64_t v = scaled(sessions > 0 ? (uint64_t)sessions : 0, t.scale);
    // No sessions rates like one: a target is not favoured for being empty.
    *value = with_offset(v == 0 ? 1 : v, t.offset);
    return true;
}

static uint64_t bw_value(int n, uint64_t rate)
{
    const TARGET &t = cfg.targets[n];
    return rate == 0 ? 0 : with_offset(scaled(rate, t.scale), t.offset);
}

static bool value_bwin(const SELCLIENT &c, int n, uint64_t *value)
{
    *value = bw_value(n, bw_rates(n, c.now).in);
    return true;
}

static bool value_bwout(const SELCLIENT &c, int n, uint64_t *value)
{
    *value = bw_value(n, bw_rates(n, c.now).out);
    return true;
}

static bool value_bw(const SELCLIENT &c, int n, uint64_t *value)
{
    BWRATES r = bw_rates(n, c.now);
    uint64_t sum = r.in + r.out;
    *value = bw_value(n, sum < r.in ? UINT64_MAX : sum);
    return true;
}

// The candidate with the smallest value; the earlier one in the list wins
// a tie. 0 when there is no candidate.
static int min_search(const SERVER &s, const SELCLIENT &c, VALUEFN valuefn, int count)
{
    int best = 0;
    uint64_t best_value = UINT64_MAX;  // above every clamped value
    for (int i = 0; i < count; i++) {
        int n = s.targets[i];
        uint64_t v;
        if (!candidate(c, n) || !valuefn(c, n, &v))
            continue;
        if (v < best_value) {
            best_value = v;
            best = n;
        }
    }
    return best;
}

// ---------------------------------------------------------------------------
// The methods

// Number of usable entries of a list count.
static int list_count(int32_t n)
{
    return n < 0 ? 0 : n > MAXSRVTARGETS ? MAXSRVTARGETS : n;
}

// The cyclic scan of the target list from index start (rr and hash).
static int rr_scan(SERVER &s, int start)
{
    int count = list_count(s.ntargets);
    for (int i = 0; i < count; i++) {
        int idx = (start + i) % count;
        bool ok = target_eligible(s.targets[idx]);
        // Under `failover backup` an unusable entry under the cursor sends
        // this frame to the backups and the next frame to the next entry.
        if (ok || s.failover == FAILOVER_BACKUP) {
            s.rr_pos = (idx + 1) % count;
            return ok ? s.targets[idx] : 0;
        }
    }
    return 0;
}

static int method_rr(SERVER &s, const SELCLIENT &)
{
    return rr_scan(s, s.rr_pos % list_count(s.ntargets));
}

// Hash of the client's source address: the exclusive-or of its first
// `hashbytes4` bytes (IPv4), or h = h × 31 + byte over the first
// `hashbytes6` bytes (IPv6); 0 for any other frame.
static uint32_t client_hash(const SELCLIENT &c)
{
    if (c.frame == nullptr || c.fi == nullptr || c.fi->l3 < 0)
        return 0;
    if (c.fi->ethertype == ETHTYPE_IPV4 && frame_has(c.len, c.fi->l3 + IP4_SRC, 4)) {
        const uint8_t *a = c.frame + c.fi->l3 + IP4_SRC;
        int nb = param_value(P_HASHBYTES4);
        nb = nb < 1 ? 1 : nb > 4 ? 4 : nb;
        uint32_t h = 0;
        for (int i = 0; i < nb; i++)
            h ^= a[i];
        return h;
    }
    if (c.fi->ethertype == ETHTYPE_IPV6 && frame_has(c.len, c.fi->l3 + IP6_SRC, 16)) {
        const uint8_t *a = c.frame + c.fi->l3 + IP6_SRC;
        int nb = param_value(P_HASHBYTES6);
        nb = nb < 1 ? 1 : nb > 16 ? 16 : nb;
        uint32_t h = a[0];
        for (int i = 1; i < nb; i++)
            h = h * 31 + a[i];
        return h;
    }
    return 0;
}

static int method_hash(SERVER &s, const SELCLIENT &c)
{
    return rr_scan(s, (int)(client_hash(c) % (uint32_t)list_count(s.ntargets)));
}

// Picks list entry i with probability weight[i] / sum; 0 weights are no
// candidates. 0 when the weights sum to 0.
static int weighted_pick(const SERVER &s, const uint64_t *weight, int count)
{
    uint64_t total = 0;
    for (int i = 0; i < count; i++)
        total += weight[i];
    if (total == 0)
        return 0;
    uint64_t r = total == 1 ? 0 : select_rand() % total;
    uint64_t run = 0;
    for (int i = 0; i < count; i++) {
        if (weight[i] == 0)
            continue;
        run += weight[i];
        if (run > r)
            return s.targets[i];
    }
    return 0;
}

static int method_random(SERVER &s, const SELCLIENT &c)
{
    int count = list_count(s.ntargets);
    uint64_t weight[MAXSRVTARGETS];
    for (int i = 0; i < count; i++) {
        int n = s.targets[i];
        weight[i] = candidate(c, n) && cfg.targets[n].weight > 0 ? (uint64_t)cfg.targets[n].weight : 0;
    }
    return weighted_pick(s, weight, count);
}

// rndagent: a candidate's chance grows as its share of the summed load
// shrinks.
static int method_rndagent(SERVER &s, const SELCLIENT &c)
{
    int count = list_count(s.ntargets);
    uint64_t load[MAXSRVTARGETS];
    uint64_t total = 0;
    for (int i = 0; i < count; i++) {
        int n = s.targets[i];
        load[i] = 0;
        if (!candidate(c, n))
            continue;
        const TARGET &t = cfg.targets[n];
        uint32_t agent = counts_of(n).agent;
        uint64_t l = agent == 0 ? 1 : with_offset(scaled(agent, t.scale), t.offset);
        load[i] = l == 0 ? 1 : l;
        total += load[i];
    }
    uint64_t share[MAXSRVTARGETS];
    for (int i = 0; i < count; i++) {
        share[i] = 0;
        if (load[i] == 0)
            continue;
        share[i] = (uint64_t)((1.0 - (double)load[i] / (double)total) * 10000.0);
        if (share[i] == 0)
            share[i] = 1;
    }
    return weighted_pick(s, share, count);
}

static int method_agent(SERVER &s, const SELCLIENT &c)
{
    return min_search(s, c, value_agent, list_count(s.ntargets));
}

static int method_session(SERVER &s, const SELCLIENT &c)
{
    return min_search(s, c, value_session, list_count(s.ntargets));
}

static int method_bwin(SERVER &s, const SELCLIENT &c)
{
    return min_search(s, c, value_bwin, list_count(s.ntargets));
}

static int method_bwout(SERVER &s, const SELCLIENT &c)
{
    return min_search(s, c, value_bwout, list_count(s.ntargets));
}

static int method_bw(SERVER &s, const SELCLIENT &c)
{
    return min_search(s, c, value_bw, list_count(s.ntargets));
}

using METHODFN = int (*)(SERVER &s, const SELCLIENT &c);

// One row per method code, in code order; `located` methods apply the
// location test and so need the client's location.
struct METHODROW {
    METHODFN fn;
    bool located;
};

static const METHODROW methods[METHOD_COUNT] = {
    {method_rr, false},      // METHOD_RR
    {method_hash, false},    // METHOD_HASH
    {method_random, true},   // METHOD_RANDOM
    {method_agent, true},    // METHOD_AGENT
    {method_session, true},  // METHOD_SESSION
    {method_bwin, true},     // METHOD_BWIN
    {method_bwout, true},    // METHOD_BWOUT
    {method_bw, true},       // METHOD_BW
    {method_rndagent, true}, // METHOD_RNDAGENT
};

int select_random(int server, int location)
{
    if (server < 1 || server > MAXSERVER)
        return 0;
    SELCLIENT c = {nullptr, 0, nullptr, location, get_uptime()};
    return method_random(cfg.servers[server], c);
}

// ---------------------------------------------------------------------------
// Backups, client location, plugin request

static int backup_scan(SERVER &s)
{
    int count = list_count(s.nbackups);
    if (s.backup_rr_pos < 0 || count == 0)
        return -1;
    int start = s.backup_rr_pos % count;
    for (int i = 0; i < count; i++) {
        int idx = (start + i) % count;
        if (target_eligible(s.backups[idx])) {
            s.backup_rr_pos = (idx + 1) % count;
            return s.backups[idx];
        }
    }
    return -1;
}

// The client's location in the location database (LOCATION_NOTFOUND when
// it is in none); -1 for a frame that is not IP.
static int client_location(const SELCLIENT &c)
{
    if (c.frame == nullptr || c.fi == nullptr || c.fi->l3 < 0)
        return -1;
    bool debug = param_value(P_DEBUGSCOPE) == 5;
    char text[64];
    int l;
    if (c.fi->ethertype == ETHTYPE_IPV4 && frame_has(c.len, c.fi->l3 + IP4_SRC, 4)) {
        const uint8_t *a = c.frame + c.fi->l3 + IP4_SRC;
        l = ipdb_locate4(a);
        if (debug)
            format_ipv4(text, sizeof text, a);
    } else if (c.fi->ethertype == ETHTYPE_IPV6 && frame_has(c.len, c.fi->l3 + IP6_SRC, 16)) {
        const uint8_t *a = c.frame + c.fi->l3 + IP6_SRC;
        l = ipdb_locate6(a);
        if (debug)
            format_ipv6(text, sizeof text, a);
    } else {
        return -1;
    }
    if (debug) {
        const char *code = l == LOCATION_NOTFOUND ? nullptr : ipdb_location_code(l);
        if (code != nullptr)
            log_message(7, "%s located as %s (index %d) ", text, code, l);
        else
            log_message(7, "%s located as \"not found\" (index %d) ", text, l);
    }
    return l;
}

// Appends text to the request at *pos (within cap bytes).
static void put(char *req, int cap, int *pos, const char *text)
{
    while (*text != '\0' && *pos < cap - 1)
        req[(*pos)++] = *text++;
    req[*pos] = '\0';
}

static void put_number(char *req, int cap, int *pos, unsigned v)
{
    char digits[12];
    int k = (int)sizeof digits - 1;
    digits[k] = '\0';
    do {
        digits[--k] = (char)('0' + v % 10);
        v /= 10;
    } while (v != 0 && k > 0);
    put(req, cap, pos, digits + k);
}

// The plugin's request line for the client frame: protocol word, source
// address and port, destination address and port, or "UNKNOWN" for a
// frame that is not IP. Returns its length.
static int plugin_request(const SELCLIENT &c, char *req, int cap)
{
    int pos = 0;
    req[0] = '\0';
    const FRAMEINFO *fi = c.fi;
    bool v4 = fi != nullptr && fi->l3 >= 0 && fi->ethertype == ETHTYPE_IPV4 &&
              frame_has(c.len, fi->l3 + IP4_DST, 4);
    bool v6 = fi != nullptr && fi->l3 >= 0 && fi->ethertype == ETHTYPE_IPV6 &&
              frame_has(c.len, fi->l3 + IP6_DST, 16);
    if (c.frame == nullptr || (!v4 && !v6)) {
        put(req, cap, &pos, "UNKNOWN\n");
        return pos;
    }
    const char *word = fi->proto == IPPROTO_TCP_ ? "TCP" : fi->proto == IPPROTO_UDP_ ? "UDP" : "UNKNOWN";
    put(req, cap, &pos, word);
    put(req, cap, &pos, v6 ? "6 " : " ");
    uint16_t sport = 0, dport = 0;
    if (!frame_ports(c.frame, fi, &sport, &dport))
        sport = dport = 0;  // no ports: other protocols and non-first fragments
    char addr[64];
    const uint8_t *ip = c.frame + fi->l3;
    put(req, cap, &pos, v6 ? format_ipv6(addr, sizeof addr, ip + IP6_SRC) : format_ipv4(addr, sizeof addr, ip + IP4_SRC));
    put(req, cap, &pos, " ");
    put_number(req, cap, &pos, sport);
    put(req, cap, &pos, " ");
    put(req, cap, &pos, v6 ? format_ipv6(addr, sizeof addr, ip + IP6_DST) : format_ipv4(addr, sizeof addr, ip + IP4_DST));
    put(req, cap, &pos, " ");
    put_number(req, cap, &pos, dport);
    put(req, cap, &pos, "\n");
    return pos;
}

// ---------------------------------------------------------------------------
// Selection

int select_target(int server, const uint8_t *frame, int len, const FRAMEINFO *fi)
{
    if (server < 1 || server > MAXSERVER)
        return -1;
    SERVER &s = cfg.servers[server];
    SELCLIENT c = {frame, len, fi, -1, 0};

    if (s.plugin[0] != '\0' && plugin_running(server)) {
        char req[192];
        int reqlen = plugin_request(c, req, (int)sizeof req);
        long long reply;
        if (plugin_exchange(server, req, reqlen, &reply)) {
            if (reply < 0)
                return -1;
            if (reply > 0)
                return reply <= MAXTARGET && target_eligible((int)reply) ? (int)reply : backup_scan(s);
        }
        // 0 or a failed exchange: the method decides.
    }

    if (list_count(s.ntargets) == 0 || s.rr_pos < 0)
        return backup_scan(s);
    const METHODROW &m = methods[s.method >= 0 && s.method < METHOD_COUNT ? s.method : METHOD_RR];
    if (m.located) {
        c.now = get_uptime();
        if (s.ipdb)
            c.location = client_location(c);
    }
    int t = m.fn(s, c);
    return t > 0 ? t : backup_scan(s);
}

// ---------------------------------------------------------------------------
// Commands

int cmd_rndtest(int, char **argv, FILE *out)
{
    int n = atoi(argv[1]);
    if (n < 1 || n > MAXSERVER)
        return cmd_error("server index out of range\n");
    int t = select_random(n, -1);
    fprintf(out, "%d\n", t > 0 ? t : -1);
    return 1;
}

int show_sessiongroups(int, char **, FILE *out)
{
    fputs("  grp  sessions targets                                 \n", out);
    fputs("  --- --------- ----------------------------------------\n", out);
    for (int g = 0; g <= MAXSESSIONGROUP; g++) {
        const SESSIONGROUP &grp = cfg.sessiongroups[g];
        if (grp.count <= 0)
            continue;
        fprintf(out, "  %3d %9lld", g, (long long)group_sessions(g));
        for (int i = 0; i < grp.count && i <= MAXTARGET; i++)
            fprintf(out, " %d", grp.members[i]);
        fputc('\n', out);
    }
    return 1;
}
