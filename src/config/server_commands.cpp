// The `server` command: one setting of a virtual service per line, or the
// `server <n> {` / `}` block that puts "server <n>" in front of the lines
// between. Settings change only while the server is unregistered, since
// the registry keys and the packet path read them without a lock once it
// is registered; during a reload the server and target tables are
// rebuilt from the files and the check is left out.
//
// Subcommands are one row each of server_subcommands[], tried in order
// with the abbreviation rule; the rows marked exact must be typed in full
// (`gslbtt` must not pass for `gslbttl`, nor `gs` for `gslb`).
//
// Also here: the server block of the configuration writer, `show servers`
// and `show server <n>`, and value parsers the target commands share.
#include "config/server_commands.h"

#include <arpa/inet.h>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "balance/session_id.h"
#include "command/command_table.h"
#include "command/interpreter.h"
#include "command/tp.h"
#include "config/addr.h"
#include "config/config_state.h"
#include "config/config_writer.h"
#include "config/show.h"

// ---------------------------------------------------------------------------
// Shared value parsers

const KEYWORD_CODE protocol_keywords[4] = {
    {"any", PROTO_ANY},
    {"tcp", PROTO_TCP},
    {"udp", PROTO_UDP},
    {"sctp", PROTO_SCTP},
};

const char *
protocol_name(int32_t code)
{
    for (const KEYWORD_CODE &k : protocol_keywords)
        if (k.code == code)
            return k.name;
    return "any";
}

int32_t
keyword_code(const char *word, const KEYWORD_CODE *table, int count)
{
    for (int i = 0; i < count; i++)
        if (keyword_match(word, table[i].name))
            return table[i].code;
    return -1;
}

int
parse_index(const char *word)
{
    if (!isdigit((unsigned char)word[0]))
        return 0;
    errno = 0;
    long v = strtol(word, nullptr, 10);
    if (errno != 0 || v > 1000000)
        return 0;
    return (int)v;
}

bool
parse_long(const char *word, long *value)
{
    const char *p = word;
    if (*p == '-' || *p == '+')
        p++;
    if (!isdigit((unsigned char)*p))
        return false;
    for (const char *q = p; *q != '\0'; q++)
        if (!isdigit((unsigned char)*q))
            return false;
    errno = 0;
    long v = strtol(word, nullptr, 10);
    if (errno != 0)
        return false;
    *value = v;
    return true;
}

uint16_t
port_number(const char *word)
{
    // Long digit strings saturate in strtoll; the low 16 bits are kept.
    return (uint16_t)strtoll(word, nullptr, 10);
}

void
format_target_list(char *out, size_t size, const int32_t *list, int count)
{
    size_t pos = 0;
    out[0] = '\0';
    for (int i = 0; i < count && pos < size; i++) {
        int t = list[i];
        const TARGET &tg = cfg.targets[valid_target(t) ? t : 0];
        const char *fmt = !tg.enabled ? "%s[%d]" : tg.operational ? "%s%d" : "%s(%d)";
        int w = snprintf(out + pos, size - pos, fmt, i > 0 ? "," : "", t);
        if (w < 0)
            break;
        pos += (size_t)w;
    }
}

// ---------------------------------------------------------------------------
// Subcommands. Each takes the server, its number and the value word and
// returns the command's result; a refused value changes nothing unless the
// row says otherwise.

using SRVSET = int (*)(SERVER &s, int n, const char *value);

static const KEYWORD_CODE off_on[] = {
    {"disable", 0}, {"off", 0}, {"enable", 1}, {"on", 1},
};

static int
srv_ipaddr(SERVER &s, int, const char *v)
{
    uint8_t a[4];
    if (parse_ipv4(v, a)) {
        memcpy(s.ipaddr, a, 4);
        return 1;
    }
    // The empty word would abbreviate `any`; an empty address is a mistake,
    // not a request to take every address.
    if (v[0] != '\0' && keyword_match(v, "any")) {
        memset(s.ipaddr, 0xff, 4);
        s.port = 0;
        s.port2 = 0;
        return 1;
    }
    return cmd_error("invalid ip4-address %s\n", v);
}

static int
srv_sessionid(SERVER &s, int n, const char *v)
{
    SIDHANDLER h = sid_lookup(v, SID_SERVER);
    if (h == nullptr)
        return cmd_error("invalid sessionid handler %s for server %d\n", v, n);
    s.sid = h;
    return 1;
}

static int
srv_ipaddr6(SERVER &s, int, const char *v)
{
    uint8_t a[16];
    if (parse_ipv6(v, a)) {
        memcpy(s.ipaddr6, a, 16);
        return 1;
    }
    memset(s.ipaddr6, 0, 16);
    if (keyword_match(v, "none"))
        return 1;
    return cmd_error("invalid IPv6-address %s\n", v);
}

// `<a>` or `<a>,<b>`: empty items are skipped, a missing item is 0, a
// lone second port moves to the first place, and a second port equal to
// the first is none. A server on every address (`any`) keeps no port.
static int
srv_ports(SERVER &s, int, const char *v)
{
    uint16_t p[2] = {0, 0};
    int k = 0;
    const char *item = v;
    while (*item != '\0' && k < 2) {
        size_t len = strcspn(item, ",");
        if (len > 0)
            p[k++] = port_number(item);
        item += len;
        if (*item == ',')
            item++;
    }
    uint16_t a = p[0];
    uint16_t b = p[1];
    if (a == 0 && b != 0) {
        a = b;
        b = 0;
    }
    if (b == a)
        b = 0;
    s.port = htons(a);
    s.port2 = htons(b);
    static const uint8_t any[4] = {255, 255, 255, 255};
    if (memcmp(s.ipaddr, any, 4) == 0) {
        s.port = 0;
        s.port2 = 0;
    }
    return 1;
}

static int
srv_gslbttl(SERVER &s, int, const char *v)
{
    long t;
    if (!parse_long(v, &t) || t < 10 || t > 86400)
        return cmd_error("gslbttl out of range\n");
    s.gslbttl = (int32_t)t;
    return 1;
}

static int
srv_portrel(SERVER &s, int, const char *v)
{
    static const KEYWORD_CODE kw[] = {{"no", 0}, {"off", 0}, {"yes", 1}, {"on", 1}};
    int32_t c = keyword_code(v, kw, 4);
    if (c < 0)
        return cmd_error("unknown port relevance %s\n", v);
    s.portrel = c;
    return 1;
}

static int
srv_proxy(SERVER &s, int, const char *v)
{
    int32_t c = keyword_code(v, off_on, 4);
    if (c < 0)
        return cmd_error("unknown proxy directive %s\n", v);
    s.proxy = c;
    return 1;
}

static int
srv_snat(SERVER &s, int, const char *v)
{
    int32_t c = keyword_code(v, off_on, 4);
    if (c < 0)
        return cmd_error("unknown snat specifier %s\n", v);
    s.snat = c;
    return 1;
}

static int
srv_failover(SERVER &s, int, const char *v)
{
    static const KEYWORD_CODE kw[] = {{"normal", FAILOVER_NORMAL}, {"backup", FAILOVER_BACKUP}};
    int32_t c = keyword_code(v, kw, 2);
    if (c < 0)
        return cmd_error("unknown failover mode %s\n", v);
    s.failover = c;
    return 1;
}

static int
srv_ipdb(SERVER &s, int, const char *v)
{
    static const KEYWORD_CODE kw[] = {{"enable", 1}, {"disable", 0}, {"off", 0}};
    int32_t c = keyword_code(v, kw, 3);
    if (c < 0)
        return cmd_error("unknown ipdb option %s\n", v);
    s.ipdb = c;
    return 1;
}

static int
srv_gslb(SERVER &s, int, const char *v)
{
    static const KEYWORD_CODE kw[] = {
        {"dispatch", GSLB_DISPATCH}, {"enable", GSLB_ENABLE}, {"disable", GSLB_DISABLE}, {"off", GSLB_DISABLE},
    };
    int32_t c = keyword_code(v, kw, 4);
    if (c < 0)
        return cmd_error("unknown gslb option %s\n", v);
    s.gslb = c;
    return 1;
}

static int
srv_method(SERVER &s, int, const char *v)
{
    int32_t c = keyword_code(v, method_keywords, (int)(sizeof method_keywords / sizeof method_keywords[0]));
    if (c < 0)
        return cmd_error("unknown load balancing method %s\n", v);
    s.method = c;
    return 1;
}

static int
srv_protocol(SERVER &s, int, const char *v)
{
    int32_t c = keyword_code(v, protocol_keywords, 4);
    if (c < 0)
        return cmd_error("unknown protocol specifier %s\n", v);
    s.protocol = c;
    return 1;
}

static int
srv_stimeout(SERVER &s, int, const char *v)
{
    long t;
    if (keyword_match(v, "default")) {
        s.stimeout = 0;
        return 1;
    }
    if (keyword_match(v, "null")) {
        s.stimeout = STIMEOUT_NULL;
        return 1;
    }
    if (!parse_long(v, &t) || (t != 0 && (t < 10 || t > 172800)))
        return cmd_error("stimeout value invalid or out of range: [%s]\n", v);
    s.stimeout = (int32_t)t;
    return 1;
}

static int
srv_ftimeout(SERVER &s, int, const char *v)
{
    long t;
    if (keyword_match(v, "default")) {
        s.ftimeout = 0;
        return 1;
    }
    if (!parse_long(v, &t) || (t != 0 && (t < 5 || t > 172800)))
        return cmd_error("ftimeout value invalid or out of range (5-172800): [%s]\n", v);
    s.ftimeout = (int32_t)t;
    return 1;
}

// Empties the list, then appends the items of a comma list; the entries
// before a bad item stay.
static int
set_target_list(int32_t *list, int32_t *count, const char *v, bool backup)
{
    *count = 0;
    if (keyword_match(v, "none"))
        return 1;
    const char *item = v;
    while (*item != '\0') {
        size_t len = strcspn(item, ",");
        if (len > 0) {
            // The message quotes the whole item, however long it is.
            int t = parse_index(item);
            if (t < 1 || t > MAXTARGET)
                return cmd_error(backup ? "invalid backup target spec %.*s\n" : "invalid target spec %.*s\n",
                                 (int)len, item);
            if (*count >= MAXSRVTARGETS)
                return cmd_error(backup ? "too many backup targets for this server\n"
                                        : "too many targets for this server\n");
            list[(*count)++] = t;
        }
        item += len;
        if (*item == ',')
            item++;
    }
    return 1;
}

static int
srv_targets(SERVER &s, int, const char *v)
{
    return set_target_list(s.targets, &s.ntargets, v, false);
}

static int
srv_backups(SERVER &s, int, const char *v)
{
    return set_target_list(s.backups, &s.nbackups, v, true);
}

// Free text: only the exact word `none` clears it, so that a name or
// command beginning like "no..." is kept as typed.
static int
srv_name(SERVER &s, int, const char *v)
{
    return cw_set_text(s.name, sizeof s.name, v, CW_BARE_OR_QUOTED);
}

static int
srv_plugin(SERVER &s, int, const char *v)
{
    return cw_set_text(s.plugin, sizeof s.plugin, v, CW_BARE_OR_QUOTED);
}

struct SRVSUBCOMMAND {
    const char *name;  // subcommand keyword
    bool exact;        // must be typed in full
    SRVSET set;        // applies the value
};

static const SRVSUBCOMMAND server_subcommands[] = {
    {.name = "ipaddr", .exact = false, .set = srv_ipaddr},
    {.name = "sessionid", .exact = false, .set = srv_sessionid},
    {.name = "ipaddr6", .exact = false, .set = srv_ipaddr6},
    {.name = "port", .exact = false, .set = srv_ports},
    {.name = "ports", .exact = false, .set = srv_ports},
    {.name = "gslbttl", .exact = true, .set = srv_gslbttl},
    {.name = "portrel", .exact = false, .set = srv_portrel},
    {.name = "proxy", .exact = false, .set = srv_proxy},
    {.name = "snat", .exact = false, .set = srv_snat},
    {.name = "failover", .exact = false, .set = srv_failover},
    {.name = "ipdb", .exact = true, .set = srv_ipdb},
    {.name = "gslb", .exact = true, .set = srv_gslb},
    {.name = "method", .exact = false, .set = srv_method},
    {.name = "protocol", .exact = false, .set = srv_protocol},
    {.name = "stimeout", .exact = false, .set = srv_stimeout},
    {.name = "ftimeout", .exact = false, .set = srv_ftimeout},
    {.name = "target", .exact = false, .set = srv_targets},
    {.name = "targets", .exact = false, .set = srv_targets},
    {.name = "backup", .exact = false, .set = srv_backups},
    {.name = "backups", .exact = false, .set = srv_backups},
    {.name = "name", .exact = false, .set = srv_name},
    {.name = "plugin", .exact = false, .set = srv_plugin},
};

int
object_command_prologue(int argc, char **argv, const char *kind, bool registered)
{
    if (registered && interp.reload_pass == 0)
        return cmd_error("cannot change registered %s, unregister first\n", kind);
    if (argc == 3) {
        if (strcmp(argv[2], "{") == 0) {
            block_open(kind, argv[1]);
            return 1;
        }
        if (strcmp(argv[2], "}") == 0) {
            block_close();
            return 1;
        }
        return cmd_error("argument error\n");
    }
    if (argc != 4)
        return cmd_error("argument error\n");
    return -1;
}

// `server <n> {`, `server <n> }`, `server <n> <subcommand> <value>`.
int
cmd_server(int argc, char **argv, FILE *)
{
    int n = parse_index(argv[1]);
    if (n < 1 || n > MAXSERVER)
        return cmd_error("server index out of range\n");
    SERVER &s = cfg_edit().servers[n];
    int done = object_command_prologue(argc, argv, "server", s.registered != 0);
    if (done >= 0)
        return done;
    for (const SRVSUBCOMMAND &sub : server_subcommands) {
        bool hit = sub.exact ? strcmp(argv[2], sub.name) == 0 : keyword_match(argv[2], sub.name);
        if (hit)
            return sub.set(s, n, argv[3]);
    }
    return cmd_error("unknown server subcommand %s\n", argv[2]);
}

// ---------------------------------------------------------------------------
// Server block of the configuration writer

// One inner line: empty first word, then the text.
static void
inner(FILE *out, const char *fmt)
{
    cw_word(out, fmt, "");
}

static void
write_list(FILE *out, const char *fmt, const char *one, const char *many, const int32_t *list, int count)
{
    if (count == 0)
        return;
    inner(out, fmt);
    fputs(count == 1 ? one : many, out);
    for (int i = 0; i < count; i++)
        fprintf(out, i > 0 ? ",%d" : "%d", list[i]);
    fputc('\n', out);
}

void
write_server_block(FILE *out, const char *fmt, int n)
{
    const SERVER &s = cfg.servers[n];
    char text[64];
    cw_word(out, fmt, "server");
    fprintf(out, "%d {\n", n);
    if (s.name[0] != '\0') {
        inner(out, fmt);
        fputs("name ", out);
        cw_string(out, s.name);
        fputc('\n', out);
    }
    if (s.gslb == GSLB_DISPATCH || s.gslb == GSLB_ENABLE) {
        inner(out, fmt);
        fputs(s.gslb == GSLB_DISPATCH ? "gslb dispatch\n" : "gslb enable\n", out);
    }
    if (s.gslbttl != GSLBTTL_DEFAULT) {
        inner(out, fmt);
        fprintf(out, "gslbttl %d\n", s.gslbttl);
    }
    if (s.gslb != GSLB_ENABLE) {
        static const uint8_t any[4] = {255, 255, 255, 255};
        if (!ipv4_is_zero(s.ipaddr)) {
            inner(out, fmt);
            fprintf(out, "ipaddr %s\n",
                    memcmp(s.ipaddr, any, 4) == 0 ? "any" : format_ipv4(text, sizeof text, s.ipaddr));
        }
        if (!ipv6_is_zero(s.ipaddr6)) {
            inner(out, fmt);
            fprintf(out, "ipaddr6 %s\n", format_ipv6(text, sizeof text, s.ipaddr6));
        }
        if (s.port2 != 0) {
            inner(out, fmt);
            fprintf(out, "ports %d,%d\n", ntohs(s.port), ntohs(s.port2));
        } else if (s.port != 0) {
            inner(out, fmt);
            fprintf(out, "port %d\n", ntohs(s.port));
        }
        if (s.protocol >= PROTO_TCP && s.protocol <= PROTO_SCTP) {
            inner(out, fmt);
            fprintf(out, "protocol %s\n", protocol_name(s.protocol));
        }
        if (s.sid != sid_src && s.sid != nullptr) {
            inner(out, fmt);
            fprintf(out, "sessionid %s\n", sid_name(s.sid));
        }
        if (s.portrel) {
            inner(out, fmt);
            fputs("portrel on\n", out);
        }
        if (s.proxy) {
            inner(out, fmt);
            fputs("proxy enable\n", out);
        }
        if (s.snat) {
            inner(out, fmt);
            fputs("snat enable\n", out);
        }
    }
    if (s.ipdb) {
        inner(out, fmt);
        fputs("ipdb enable\n", out);
    }
    if (s.plugin[0] != '\0') {
        inner(out, fmt);
        fputs("plugin ", out);
        cw_string(out, s.plugin);
        fputc('\n', out);
    }
    if (s.method != METHOD_RR && s.method > 0 && s.method < METHOD_COUNT) {
        inner(out, fmt);
        fprintf(out, "method %s\n", method_names[s.method]);
    }
    if (s.stimeout == STIMEOUT_NULL) {
        inner(out, fmt);
        fputs("stimeout null\n", out);
    } else if (s.stimeout != 0) {
        inner(out, fmt);
        fprintf(out, "stimeout %d\n", s.stimeout);
    }
    if (s.ftimeout != 0) {
        inner(out, fmt);
        fprintf(out, "ftimeout %d\n", s.ftimeout);
    }
    if (s.failover == FAILOVER_BACKUP) {
        inner(out, fmt);
        fputs("failover backup\n", out);
    }
    write_list(out, fmt, "target ", "targets ", s.targets, s.ntargets);
    write_list(out, fmt, "backup ", "backups ", s.backups, s.nbackups);
    cw_close(out, fmt);
}

// ---------------------------------------------------------------------------
// show servers, show server <n>

int
show_servers(int, char **, FILE *out)
{
    TP *tp = tp_new(out);
    for (const char *h : {"#no", "ipaddr", "ipaddr6", "#port", "prt", "#net", "#net6", "#sessions", "S",
                          "targets", "backups"})
        tp_cell(tp, h);
    tp_newrow(tp);
    char list[MAXSRVTARGETS * 8];
    for (int n = 1; n <= MAXSERVER; n++) {
        const SERVER &s = cfg.servers[n];
        if (!s.registered)
            continue;
        tp_int(tp, n);
        if (ipv4_is_zero(s.ipaddr))
            tp_cell(tp, "-");
        else
            tp_ipv4(tp, s.ipaddr);
        if (ipv6_is_zero(s.ipaddr6))
            tp_cell(tp, "-");
        else
            tp_ipv6(tp, s.ipaddr6);
        if (s.port == 0)
            tp_cell(tp, "any");
        else
            tp_int(tp, ntohs(s.port));
        tp_cell(tp, protocol_name(s.protocol));
        tp_int(tp, s.network);
        tp_int(tp, s.network6);
        tp_int(tp, s.cur_sessions);
        tp_cell(tp, s.enabled ? "e" : "D");
        format_target_list(list, sizeof list, s.targets, s.ntargets);
        tp_cell(tp, list);
        format_target_list(list, sizeof list, s.backups, s.nbackups);
        tp_cell(tp, list);
        tp_newrow(tp);
    }
    tp_print(tp);
    tp_free(tp);
    return 1;
}

int
show_server(int, char **argv, FILE *out)
{
    int n = parse_index(argv[2]);
    if (n < 1 || n > MAXSERVER)
        return cmd_error("server index out of range\n");
    const SERVER &s = cfg.servers[n];
    char text[64];
    char list[MAXSRVTARGETS * 8];
    static const uint8_t any[4] = {255, 255, 255, 255};
    fprintf(out, "server %d\n", n);
    fprintf(out, "  %-10s%s\n", "ipaddr",
            memcmp(s.ipaddr, any, 4) == 0 ? "any" : format_ipv4(text, sizeof text, s.ipaddr));
    if (!ipv6_is_zero(s.ipaddr6))
        fprintf(out, "  %-10s%s\n", "ipaddr6", format_ipv6(text, sizeof text, s.ipaddr6));
    fprintf(out, "  %-10s%d\n", "network", s.network);
    if (s.port == 0)
        fprintf(out, "  %-10s%s\n", "port", "any");
    else if (s.port2 != 0)
        fprintf(out, "  %-10s%d,%d\n", "port", ntohs(s.port), ntohs(s.port2));
    else
        fprintf(out, "  %-10s%d\n", "port", ntohs(s.port));
    fprintf(out, "  %-10s%s\n", "protocol", protocol_name(s.protocol));
    fprintf(out, "  %-10s%s\n", "status", s.enabled ? "enabled" : "disabled");
    fprintf(out, "  %-10s%s\n", "method",
            s.method >= 0 && s.method < METHOD_COUNT ? method_names[s.method] : "?");
    fprintf(out, "  %-10s%s\n", "portrel", s.portrel ? "on" : "off");
    fprintf(out, "  %-10s%s\n", "proxy", s.proxy ? "enable" : "disable");
    fprintf(out, "  %-10s%s\n", "snat", s.snat ? "enable" : "disable");
    fprintf(out, "  %-10s%s\n", "failover", s.failover == FAILOVER_BACKUP ? "backup" : "normal");
    format_target_list(list, sizeof list, s.targets, s.ntargets);
    fprintf(out, "  %-10s%s\n", "targets", s.ntargets > 0 ? list : "none");
    format_target_list(list, sizeof list, s.backups, s.nbackups);
    fprintf(out, "  %-10s%s\n", "backups", s.nbackups > 0 ? list : "none");
    return 1;
}
