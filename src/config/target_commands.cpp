// The `target` command: one setting of a real server per line, or the
// `target <n> {` / `}` block. As for servers, settings change only while
// the target is unregistered: the registry, the probes and the packet
// path read them without a lock once it is registered.
//
// Subcommands are the rows of target_subcommands[], tried in order with
// the abbreviation rule. Health-check values are checked completely before
// anything is stored, so a refused value leaves the check as it was (the
// one exception: a malformed ascript clears the ascript). Setting or
// switching off a check also restarts its run-time result words.
//
// Also here: the target block of the configuration writer, `show targets`
// and `show target <n>`.
#include "config/target_commands.h"

#include <arpa/inet.h>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "balance/session_id.h"
#include "command/command_table.h"
#include "command/interpreter.h"
#include "command/log.h"
#include "command/tp.h"
#include "config/addr.h"
#include "config/config_state.h"
#include "config/config_writer.h"
#include "config/server_commands.h"
#include "config/show.h"

using TGTSET = int (*)(TARGET &t, int n, const char *value);

static const KEYWORD_CODE off_on[] = {
    {"disable", 0}, {"off", 0}, {"enable", 1}, {"on", 1},
};
// `dsr` and `pseudo` try the switching-on words first, so "o" is "on".
static const KEYWORD_CODE on_off[] = {
    {"enable", 1}, {"on", 1}, {"disable", 0}, {"off", 0},
};
static const KEYWORD_CODE on_off_default[] = {
    {"on", 1}, {"enable", 1}, {"off", 0}, {"disable", 0}, {"default", 0},
};

// ---------------------------------------------------------------------------
// Addresses, port, protocol, flags

static int
tgt_ipaddr(TARGET &t, int, const char *v)
{
    uint8_t a[4];
    if (parse_ipv4(v, a)) {
        memcpy(t.ipaddr, a, 4);
        return 1;
    }
    if (keyword_match(v, "none")) {
        memset(t.ipaddr, 0, 4);
        return 1;
    }
    return cmd_error("invalid IPv4-address %s\n", v);
}

static int
tgt_ipaddr6(TARGET &t, int, const char *v)
{
    uint8_t a[16];
    if (parse_ipv6(v, a)) {
        memcpy(t.ipaddr6, a, 16);
        return 1;
    }
    memset(t.ipaddr6, 0, 16);
    if (keyword_match(v, "none"))
        return 1;
    return cmd_error("invalid IPv6-address %s\n", v);
}

static int
tgt_sessionid(TARGET &t, int n, const char *v)
{
    SIDHANDLER h = sid_lookup(v, SID_TARGET);
    if (h == nullptr)
        return cmd_error("invalid sessionid handler %s for target %d\n", v, n);
    t.sid = h;
    return 1;
}

static int
tgt_port(TARGET &t, int, const char *v)
{
    t.port = htons(port_number(v));
    return 1;
}

static int
tgt_router(TARGET &t, int, const char *v)
{
    uint8_t a[4];
    if (!parse_ipv4(v, a))
        return cmd_error("invalid router address %s\n", v);
    memcpy(t.router, a, 4);
    return 1;
}

static int
tgt_protocol(TARGET &t, int, const char *v)
{
    int32_t c = keyword_code(v, protocol_keywords, 4);
    if (c < 0)
        return cmd_error("unknown protocol specifier %s\n", v);
    t.protocol = c;
    return 1;
}

static int
tgt_snat(TARGET &t, int, const char *v)
{
    int32_t c = keyword_code(v, off_on, 4);
    if (c < 0)
        return cmd_error("unknown snat specifier %s\n", v);
    t.snat = c;
    return 1;
}

static int
tgt_autodisable(TARGET &t, int, const char *v)
{
    int32_t c = keyword_code(v, on_off_default, 5);
    if (c < 0)
        return cmd_error("unknown autodisable specifier %s\n", v);
    t.autodisable = c;
    return 1;
}

static int
tgt_autodisablecount(TARGET &t, int, const char *v)
{
    long c;
    if (keyword_match(v, "default")) {
        t.autodisablecount = 1;
        return 1;
    }
    if (!parse_long(v, &c) || c < 1 || c > 10000)
        return cmd_error("invalid autodisablecount specifier %s\n", v);
    t.autodisablecount = (int32_t)c;
    return 1;
}

static int
tgt_screate(TARGET &t, int, const char *v)
{
    int32_t c = keyword_code(v, on_off_default, 5);
    if (c < 0)
        return cmd_error("unknown screate specifier %s\n", v);
    t.screate = c;
    return 1;
}

static int
tgt_dsr(TARGET &t, int, const char *v)
{
    int32_t c = keyword_code(v, on_off, 4);
    if (c < 0)
        return cmd_error("syntax error in target subcommand\n");
    t.dsr = c;
    return 1;
}

static int
tgt_pseudo(TARGET &t, int, const char *v)
{
    int32_t c = keyword_code(v, on_off, 4);
    if (c < 0)
        return cmd_error("syntax error in target subcommand\n");
    t.pseudo = c;
    return 1;
}

// ---------------------------------------------------------------------------
// Network health checks: `[addr,]interval,timeout` for ping and ping6,
// `[addr,]port,interval,timeout` for agent, agent6, tcpopen, tcpopen6.

struct PROBEVALUE {
    bool has_addr;       // an address item was given
    uint8_t addr[16];    // the address (4 bytes used for IPv4)
    long port;           // port (checks with a port)
    long interval;       // seconds between probes
    long timeout;        // seconds until the check fails
};

// One comma-separated item of a value, in place.
struct VALUEITEM {
    const char *text;    // first character
    size_t len;          // characters up to the comma or the end
};

// Splits at commas, empty items skipped; false when there are more than
// `max` items.
static bool
split_items(const char *v, VALUEITEM *items, int max, int *count)
{
    *count = 0;
    const char *item = v;
    while (*item != '\0') {
        size_t len = strcspn(item, ",");
        if (len > 0) {
            if (*count >= max)
                return false;
            items[(*count)++] = VALUEITEM{item, len};
        }
        item += len;
        if (*item == ',')
            item++;
    }
    return true;
}

// Copies an item into `buf` as a string; false when it does not fit,
// which no address or 32-bit number needs.
static bool
item_text(const VALUEITEM &item, char *buf, size_t size)
{
    if (item.len >= size)
        return false;
    memcpy(buf, item.text, item.len);
    buf[item.len] = '\0';
    return true;
}

// Parses and checks a probe value; reports and returns 0 on any fault.
// `kind` names the check in the "timeout too small" message.
static int
probe_parse(const char *v, int family, bool with_port, const char *kind, PROBEVALUE *pv)
{
    VALUEITEM items[5];
    char text[64];
    int count = 0;
    int need = with_port ? 3 : 2;
    if (!split_items(v, items, 5, &count) || count < need || count > need + 1)
        return cmd_error("syntax error in target subcommand\n");
    *pv = PROBEVALUE{};
    int k = 0;
    if (count == need + 1) {
        pv->has_addr = true;
        bool ok = item_text(items[0], text, sizeof text);
        if (family == 4 && !(ok && parse_ipv4(text, pv->addr)))
            return cmd_error("invalid IPv4-address %.*s\n", (int)items[0].len, items[0].text);
        if (family == 6 && !(ok && parse_ipv6(text, pv->addr)))
            return cmd_error("invalid IPv6-address %.*s\n", (int)items[0].len, items[0].text);
        k = 1;
    }
    long nums[3];
    for (int i = 0; i < need; i++)
        if (!item_text(items[k + i], text, sizeof text) || !parse_long(text, &nums[i]) || nums[i] < INT32_MIN ||
            nums[i] > INT32_MAX)
            return cmd_error("syntax error in target subcommand\n");
    if (with_port) {
        pv->port = nums[0];
        pv->interval = nums[1];
        pv->timeout = nums[2];
        if (pv->port < 1 || pv->port > 65535)
            return cmd_error("port out of range\n");
        if (pv->interval < 1 || pv->interval > 86400)
            return cmd_error("interval out of range\n");
        if (pv->timeout < 1 || pv->timeout > 86400)
            return cmd_error("timeout out of range\n");
    } else {
        pv->interval = nums[0];
        pv->timeout = nums[1];
    }
    if (pv->timeout <= 1)
        return cmd_error("%s timeout too small\n", kind);
    return 1;
}

static bool
is_off(const char *v)
{
    return keyword_match(v, "off");
}

static int
probe4_set(PROBE4 &p, const char *v, bool with_port, const char *kind)
{
    if (is_off(v)) {
        p.interval = 0;
    } else {
        PROBEVALUE pv;
        if (!probe_parse(v, 4, with_port, kind, &pv))
            return 0;
        if (pv.has_addr)
            memcpy(p.addr, pv.addr, 4);
        if (with_port)
            p.port = (int32_t)pv.port;
        p.interval = (int32_t)pv.interval;
        p.timeout = (int32_t)pv.timeout;
    }
    p.counter = 0;
    p.lastok = 0;
    return 1;
}

static int
probe6_set(PROBE6 &p, const char *v, bool with_port, const char *kind)
{
    if (is_off(v)) {
        p.interval = 0;
    } else {
        PROBEVALUE pv;
        if (!probe_parse(v, 6, with_port, kind, &pv))
            return 0;
        if (pv.has_addr)
            memcpy(p.addr, pv.addr, 16);
        if (with_port)
            p.port = (int32_t)pv.port;
        p.interval = (int32_t)pv.interval;
        p.timeout = (int32_t)pv.timeout;
    }
    p.counter = 0;
    p.lastok = 0;
    return 1;
}

static int
tgt_ping(TARGET &t, int, const char *v)
{
    return probe4_set(t.ping, v, false, "ping");
}

static int
tgt_ping6(TARGET &t, int, const char *v)
{
    return probe6_set(t.ping6, v, false, "ping6");
}

// agent, agent6 and ascript all feed the one agent value: only one of
// them may be on.
static int
tgt_agent(TARGET &t, int n, const char *v)
{
    if (!is_off(v)) {
        if (t.agent6.interval > 0)
            return cmd_error("already agent6 active for target %d\n", n);
        if (t.ascript.cmd[0] != '\0')
            return cmd_error("ascript needs to be deactivated for agent\n");
    }
    return probe4_set(t.agent, v, true, "agent");
}

static int
tgt_agent6(TARGET &t, int n, const char *v)
{
    if (!is_off(v)) {
        if (t.agent.interval > 0)
            return cmd_error("already agent active for target %d\n", n);
        if (t.ascript.cmd[0] != '\0')
            return cmd_error("ascript needs to be deactivated for agent6\n");
    }
    return probe6_set(t.agent6, v, true, "agent6");
}

static int
tgt_tcpopen(TARGET &t, int, const char *v)
{
    return probe4_set(t.tcpopen, v, true, "tcpopen");
}

static int
tgt_tcpopen6(TARGET &t, int, const char *v)
{
    return probe6_set(t.tcpopen6, v, true, "tcpopen6");
}

// ---------------------------------------------------------------------------
// Script checks: `"command",interval,timeout` as one word (the tokenizer
// keeps a quoted text followed by a comma together with its quotes).

static void
script_clear(SCRIPTCHECK &sc)
{
    sc = SCRIPTCHECK{};
}

static int
script_set(TARGET &t, SCRIPTCHECK &sc, const char *v, const char *kind, bool ascript)
{
    if (strlen(v) > (size_t)SCRIPTSPECMAX)
        return cmd_error("%s specification exceeds maxlen\n", kind);
    if (keyword_match(v, "none") || keyword_match(v, "off")) {
        script_clear(sc);
        return 1;
    }
    if (ascript) {
        if (t.agent.interval > 0)
            return cmd_error("agent needs to be deactivated for ascript\n");
        // agent6 writes the same agent value as ascript; letting both run
        // would mix two load sources in one number.
        if (t.agent6.interval > 0)
            return cmd_error("agent6 needs to be deactivated for ascript\n");
    }
    char cmd[CMDLEN];
    int interval = 0;
    int timeout = 0;
    if (sscanf(v, "\"%159[^\"]\",%d,%d", cmd, &interval, &timeout) != 3) {
        if (ascript)
            script_clear(sc);
        return cmd_error("syntax error in %s specification\n", kind);
    }
    if (interval < 1) {
        if (ascript)
            script_clear(sc);
        return cmd_error("invalid %s interval\n", kind);
    }
    if (timeout < 2)
        return cmd_error("%s timeout too small\n", kind);
    snprintf(sc.cmd, sizeof sc.cmd, "%s", cmd);
    sc.interval = interval;
    sc.timeout = timeout;
    sc.lastok = 0;
    return 1;
}

static int
tgt_script(TARGET &t, int, const char *v)
{
    return script_set(t, t.script, v, "script", false);
}

static int
tgt_script6(TARGET &t, int, const char *v)
{
    return script_set(t, t.script6, v, "script6", false);
}

static int
tgt_ascript(TARGET &t, int, const char *v)
{
    return script_set(t, t.ascript, v, "ascript", true);
}

// ---------------------------------------------------------------------------
// Weights and limits

// `default` or a whole number in [0, max]; a negative number is refused.
static int
limit_set(int32_t *field, const char *v, long max, const char *message)
{
    long c;
    if (keyword_match(v, "default")) {
        *field = 0;
        return 1;
    }
    if (!parse_long(v, &c) || c < 0 || c > max)
        return cmd_error("%s", message);
    *field = (int32_t)c;
    return 1;
}

static int
tgt_maxagent(TARGET &t, int, const char *v)
{
    return limit_set(&t.maxagent, v, 1000000, "invalid maxagent value\n");
}

static int
tgt_maxsessions(TARGET &t, int, const char *v)
{
    return limit_set(&t.maxsessions, v, 1000000, "invalid maxsessions value\n");
}

static int
tgt_maxgrpsessions(TARGET &t, int, const char *v)
{
    return limit_set(&t.maxgrpsessions, v, 1000000, "invalid maxgrpsessions value\n");
}

static int
tgt_sessiongroup(TARGET &t, int, const char *v)
{
    return limit_set(&t.sessiongroup, v, MAXSESSIONGROUP, "invalid sessiongroup value\n");
}

static int
tgt_trackval(TARGET &t, int, const char *v)
{
    return limit_set(&t.trackval, v, 254, "invalid trackval\n");
}

static int
tgt_weight(TARGET &t, int, const char *v)
{
    long w;
    if (!parse_long(v, &w) || w < 1 || w > 100)
        return cmd_error("invalid weight\n");
    t.weight = (int32_t)w;
    return 1;
}

static int
tgt_offset(TARGET &t, int, const char *v)
{
    long o;
    if (!parse_long(v, &o) || o < 0 || o > INT32_MAX)
        return cmd_error("invalid offset\n");
    t.offset = (int32_t)o;
    return 1;
}

// The scale is used rounded to an integer by the selection methods, so a
// value that is not a finite number (nan, inf) is refused.
static int
tgt_scale(TARGET &t, int, const char *v)
{
    char *end = nullptr;
    double d = strtod(v, &end);
    if (end == v || *end != '\0' || !std::isfinite(d) || d < 0.0 || d > 1e9)
        return cmd_error("invalid floating point\n");
    t.scale = d;
    return 1;
}

// ---------------------------------------------------------------------------
// Texts

// Free text: only the exact word `none` clears it, so that a text
// beginning like "no..." is kept as typed.
static int
tgt_alert(TARGET &t, int, const char *v)
{
    return cw_set_text(t.alert, sizeof t.alert, v, CW_QUOTED);
}

static int
tgt_upalert(TARGET &t, int, const char *v)
{
    return cw_set_text(t.upalert, sizeof t.upalert, v, CW_QUOTED);
}

static int
tgt_name(TARGET &t, int, const char *v)
{
    return cw_set_text(t.name, sizeof t.name, v, CW_BARE_OR_QUOTED);
}

static int
tgt_lgrp(TARGET &t, int, const char *v)
{
    if (keyword_match(v, "none") || keyword_match(v, "off")) {
        t.lgrp = 0;
        return 1;
    }
    if (v[0] < 'A' || v[0] > 'Z' || v[1] != '\0')
        return cmd_error("invalid target lgrp specifier\n");
    t.lgrp = v[0];
    return 1;
}

struct TGTSUBCOMMAND {
    const char *name;  // subcommand keyword
    TGTSET set;        // applies the value
};

static const TGTSUBCOMMAND target_subcommands[] = {
    {.name = "ipaddr", .set = tgt_ipaddr},
    {.name = "ipaddr6", .set = tgt_ipaddr6},
    {.name = "sessionid", .set = tgt_sessionid},
    {.name = "port", .set = tgt_port},
    {.name = "via", .set = tgt_router},
    {.name = "router", .set = tgt_router},
    {.name = "protocol", .set = tgt_protocol},
    {.name = "snat", .set = tgt_snat},
    {.name = "autodisable", .set = tgt_autodisable},
    {.name = "autodisablecount", .set = tgt_autodisablecount},
    {.name = "screate", .set = tgt_screate},
    {.name = "ping", .set = tgt_ping},
    {.name = "ping6", .set = tgt_ping6},
    {.name = "agent", .set = tgt_agent},
    {.name = "agent6", .set = tgt_agent6},
    {.name = "tcpopen", .set = tgt_tcpopen},
    {.name = "tcpopen6", .set = tgt_tcpopen6},
    {.name = "script", .set = tgt_script},
    {.name = "script6", .set = tgt_script6},
    {.name = "ascript", .set = tgt_ascript},
    {.name = "maxagent", .set = tgt_maxagent},
    {.name = "maxsessions", .set = tgt_maxsessions},
    {.name = "maxgrpsessions", .set = tgt_maxgrpsessions},
    {.name = "sessiongroup", .set = tgt_sessiongroup},
    {.name = "trackval", .set = tgt_trackval},
    {.name = "weight", .set = tgt_weight},
    {.name = "aoffset", .set = tgt_offset},
    {.name = "offset", .set = tgt_offset},
    {.name = "ascale", .set = tgt_scale},
    {.name = "scale", .set = tgt_scale},
    {.name = "alert", .set = tgt_alert},
    {.name = "upalert", .set = tgt_upalert},
    {.name = "lgrp", .set = tgt_lgrp},
    {.name = "name", .set = tgt_name},
    {.name = "dsr", .set = tgt_dsr},
    {.name = "pseudo", .set = tgt_pseudo},
};

// `target <n> {`, `target <n> }`, `target <n> <subcommand> <value>`.
int
cmd_target(int argc, char **argv, FILE *)
{
    int n = parse_index(argv[1]);
    if (n < 1 || n > MAXTARGET)
        return cmd_error("target index out of range\n");
    TARGET &t = cfg_edit().targets[n];
    int done = object_command_prologue(argc, argv, "target", t.registered != 0);
    if (done >= 0)
        return done;
    for (const TGTSUBCOMMAND &sub : target_subcommands)
        if (keyword_match(argv[2], sub.name))
            return sub.set(t, n, argv[3]);
    return cmd_error("unknown target subcommand %s\n", argv[2]);
}

// ---------------------------------------------------------------------------
// Target block of the configuration writer

static void
inner(FILE *out, const char *fmt)
{
    cw_word(out, fmt, "");
}

// "<kind> [<addr>,]<port>,<interval>,<timeout>" without the port for
// ping checks; written only while the check is on.
static void
write_probe(FILE *out, const char *fmt, const char *kind, const char *addr, bool with_port, int port,
            int interval, int timeout)
{
    if (interval <= 0)
        return;
    inner(out, fmt);
    fprintf(out, "%s ", kind);
    if (addr != nullptr)
        fprintf(out, "%s,", addr);
    if (with_port)
        fprintf(out, "%d,", port);
    fprintf(out, "%d,%d\n", interval, timeout);
}

static void
write_probe4(FILE *out, const char *fmt, const char *kind, const PROBE4 &p, bool with_port)
{
    char text[16];
    const char *addr = ipv4_is_zero(p.addr) ? nullptr : format_ipv4(text, sizeof text, p.addr);
    write_probe(out, fmt, kind, addr, with_port, p.port, p.interval, p.timeout);
}

static void
write_probe6(FILE *out, const char *fmt, const char *kind, const PROBE6 &p, bool with_port)
{
    char text[64];
    const char *addr = ipv6_is_zero(p.addr) ? nullptr : format_ipv6(text, sizeof text, p.addr);
    write_probe(out, fmt, kind, addr, with_port, p.port, p.interval, p.timeout);
}

static void
write_script(FILE *out, const char *fmt, const char *kind, const SCRIPTCHECK &sc)
{
    if (sc.cmd[0] == '\0' || sc.interval <= 0)
        return;
    inner(out, fmt);
    fprintf(out, "%s \"%s\",%d,%d\n", kind, sc.cmd, sc.interval, sc.timeout);
}

static void
write_number(FILE *out, const char *fmt, const char *kind, int32_t value)
{
    if (value == 0)
        return;
    inner(out, fmt);
    fprintf(out, "%s %d\n", kind, value);
}

void
write_target_block(FILE *out, const char *fmt, int n)
{
    const TARGET &t = cfg.targets[n];
    char text[64];
    cw_word(out, fmt, "target");
    fprintf(out, "%d {\n", n);
    if (t.name[0] != '\0') {
        inner(out, fmt);
        fputs("name ", out);
        cw_string(out, t.name);
        fputc('\n', out);
    }
    if (!ipv4_is_zero(t.ipaddr)) {
        inner(out, fmt);
        fprintf(out, "ipaddr %s\n", format_ipv4(text, sizeof text, t.ipaddr));
    }
    if (!ipv6_is_zero(t.ipaddr6)) {
        inner(out, fmt);
        fprintf(out, "ipaddr6 %s\n", format_ipv6(text, sizeof text, t.ipaddr6));
    }
    if (!ipv4_is_zero(t.router)) {
        inner(out, fmt);
        fprintf(out, "router %s\n", format_ipv4(text, sizeof text, t.router));
    }
    if (t.port != 0) {
        inner(out, fmt);
        fprintf(out, "port %d\n", ntohs(t.port));
    }
    if (t.protocol >= PROTO_TCP && t.protocol <= PROTO_SCTP) {
        inner(out, fmt);
        fprintf(out, "protocol %s\n", protocol_name(t.protocol));
    }
    if (t.lgrp != 0) {
        if (t.lgrp >= 'A' && t.lgrp <= 'Z') {
            inner(out, fmt);
            fprintf(out, "lgrp %c\n", t.lgrp);
        } else {
            log_message(3, "invalid lgrp (%d) in target detected", t.lgrp);
        }
    }
    write_probe4(out, fmt, "ping", t.ping, false);
    write_probe6(out, fmt, "ping6", t.ping6, false);
    write_probe4(out, fmt, "agent", t.agent, true);
    write_probe6(out, fmt, "agent6", t.agent6, true);
    if (t.weight > 1) {
        inner(out, fmt);
        fprintf(out, "weight %d\n", t.weight);
    }
    write_number(out, fmt, "offset", t.offset);
    if (t.scale != 1.0) {
        inner(out, fmt);
        fprintf(out, "scale %lg\n", t.scale);
    }
    write_probe4(out, fmt, "tcpopen", t.tcpopen, true);
    write_probe6(out, fmt, "tcpopen6", t.tcpopen6, true);
    write_script(out, fmt, "script", t.script);
    write_script(out, fmt, "script6", t.script6);
    write_script(out, fmt, "ascript", t.ascript);
    if (t.autodisable) {
        inner(out, fmt);
        fputs("autodisable on\n", out);
    }
    if (t.autodisablecount != 1) {
        inner(out, fmt);
        fprintf(out, "autodisablecount %d\n", t.autodisablecount);
    }
    if (t.snat) {
        inner(out, fmt);
        fputs("snat enable\n", out);
    }
    if (t.screate) {
        inner(out, fmt);
        fputs("screate enable\n", out);
    }
    if (t.alert[0] != '\0') {
        inner(out, fmt);
        fprintf(out, "alert \"%s\"\n", t.alert);
    }
    if (t.upalert[0] != '\0') {
        inner(out, fmt);
        fprintf(out, "upalert \"%s\"\n", t.upalert);
    }
    write_number(out, fmt, "trackval", t.trackval);
    write_number(out, fmt, "maxagent", t.maxagent);
    write_number(out, fmt, "sessiongroup", t.sessiongroup);
    write_number(out, fmt, "maxsessions", t.maxsessions);
    write_number(out, fmt, "maxgrpsessions", t.maxgrpsessions);
    if (t.sid != sid_dst && t.sid != nullptr) {
        inner(out, fmt);
        fprintf(out, "sessionid %s\n", sid_name(t.sid));
    }
    if (t.dsr) {
        inner(out, fmt);
        fputs("dsr enable\n", out);
    }
    if (t.pseudo) {
        inner(out, fmt);
        fputs("pseudo enable\n", out);
    }
    cw_close(out, fmt);
}

// ---------------------------------------------------------------------------
// show targets, show target <n>

long
target_effective_agent(const TARGET &t)
{
    if (t.agent_value == 0)
        return 0;
    long v = (long)t.agent_value;
    long scale = lround(t.scale);
    if (t.scale != 1.0) {
        v *= scale;
        if (v == 0)
            v = 1;
    }
    return v + t.offset;
}

static const char *
target_status(const TARGET &t)
{
    if (!t.enabled)
        return "disabled";
    if (t.softdisabled)
        return t.operational ? "softdis(up)" : "softdis";
    if (t.pseudo)
        return "pseudo";
    return t.operational ? "operational" : "down";
}

int
show_targets(int, char **, FILE *out)
{
    TP *tp = tp_new(out);
    for (const char *h : {"#no", "ipaddr", "ipaddr6", "#si", "#port", "prt", "#net", "#net6", "#srv",
                          "#sessions", "status", "info", "name"})
        tp_cell(tp, h);
    tp_newrow(tp);
    for (int n = 1; n <= MAXTARGET; n++) {
        const TARGET &t = cfg.targets[n];
        if (!t.registered)
            continue;
        tp_int(tp, n);
        if (ipv4_is_zero(t.ipaddr))
            tp_cell(tp, "-");
        else
            tp_ipv4(tp, t.ipaddr);
        if (ipv6_is_zero(t.ipaddr6))
            tp_cell(tp, "-");
        else
            tp_ipv6(tp, t.ipaddr6);
        if (t.sticky_interface == STICKY_NONE)
            tp_cell(tp, "-");
        else
            tp_int(tp, t.sticky_interface);
        if (t.port == 0)
            tp_cell(tp, "any");
        else
            tp_int(tp, ntohs(t.port));
        tp_cell(tp, protocol_name(t.protocol));
        tp_int(tp, t.network);
        tp_int(tp, t.network6);
        if (t.server == SERVERREF_SEVERAL)
            tp_cell(tp, "*");
        else
            tp_int(tp, t.server);
        tp_int(tp, t.cur_sessions);
        tp_cell(tp, target_status(t));
        // The health-check text is the probe subsystem's; until a target
        // has been evaluated it carries nothing.
        tp_cell(tp, t.status_up[0] != '\0' && t.operational ? t.status_up
                    : t.status_down[0] != '\0'              ? t.status_down
                                                            : "-");
        tp_cell(tp, t.name[0] != '\0' ? t.name : "-");
        tp_newrow(tp);
    }
    tp_print(tp);
    tp_free(tp);
    return 1;
}

// One health-check line: "up"/"down" by whether the check had a good
// answer, or the agent value for the load checks.
static void
check_line(FILE *out, const char *kind, uint32_t lastok, bool value, uint32_t agent_value)
{
    if (lastok == 0)
        fprintf(out, "  %-10s%s\n", kind, "down");
    else if (value)
        fprintf(out, "  %-10s%u\n", kind, agent_value);
    else
        fprintf(out, "  %-10s%s\n", kind, "up");
}

int
show_target(int, char **argv, FILE *out)
{
    int n = parse_index(argv[2]);
    if (n < 1 || n > MAXTARGET)
        return cmd_error("target index out of range\n");
    const TARGET &t = cfg.targets[n];
    char text[64];
    fprintf(out, "target %d\n", n);
    fprintf(out, "  %-10s%s\n", "ipaddr", format_ipv4(text, sizeof text, t.ipaddr));
    if (!ipv6_is_zero(t.ipaddr6))
        fprintf(out, "  %-10s%s\n", "ipaddr6", format_ipv6(text, sizeof text, t.ipaddr6));
    if (t.port == 0)
        fprintf(out, "  %-10s%s\n", "port", "any");
    else
        fprintf(out, "  %-10s%d\n", "port", ntohs(t.port));
    fprintf(out, "  %-10s%d\n", "network", t.network);
    fprintf(out, "  %-10s%s\n", "protocol", protocol_name(t.protocol));
    fprintf(out, "  %-10s%s\n", "status", !t.enabled ? "disabled" : t.operational ? "operational" : "down");
    // The ARP state of the address belongs to the address tables; the
    // line shows the target's own evaluation until those are consulted.
    if (!ipv4_is_zero(t.ipaddr))
        fprintf(out, "  %-10s%s\n", "arp", t.operational ? "up" : "down");
    if (t.ping.interval > 0)
        check_line(out, "ping", t.ping.lastok, false, 0);
    if (t.agent.interval > 0)
        check_line(out, "agent", t.agent.lastok, true, t.agent_value);
    if (t.agent.interval > 0 || t.agent6.interval > 0 || t.ascript.cmd[0] != '\0')
        fprintf(out, "  %-10s%ld\n", "eff_agent", target_effective_agent(t));
    if (t.ascript.cmd[0] != '\0')
        check_line(out, "ascript", t.ascript.lastok, true, t.agent_value);
    if (t.tcpopen.interval > 0)
        check_line(out, "tcpopen", t.tcpopen.lastok, false, 0);
    if (t.agent6.interval > 0)
        check_line(out, "agent6", t.agent6.lastok, true, t.agent_value);
    if (t.tcpopen6.interval > 0)
        check_line(out, "tcpopen6", t.tcpopen6.lastok, false, 0);
    return 1;
}
