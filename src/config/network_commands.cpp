// The network, interface, gateway and vrrp commands, their block writers
// and their show items.
//
// Networks and interfaces can be changed while unregistered or registered,
// not while enabled. During a configuration reload nothing that runs may
// change: the commands accept the running values only and refuse any
// other as an invalid change, which fails the reload (its block closed).
// While a file loads outside a reload, the node-specific values taken from
// the private file (real, real6, VRRP priority) are kept. The commands
// change cfg_edit(), the scratch copy during the dry run of a reload.
#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "command/command_table.h"
#include "command/interpreter.h"
#include "command/log.h"
#include "command/tp.h"
#include "config/addr.h"
#include "config/config_files.h"
#include "config/config_state.h"
#include "config/config_writer.h"
#include "config/lifecycle.h"
#include "config/show.h"
#include "ha/vrrp.h"
#include "packet/arp.h"
#include "packet/interface_io.h"

// ---------------------------------------------------------------------------
// Small parsers

// A decimal number made of digits only; false for anything else.
static bool
parse_uint(const char *word, long *value)
{
    if (*word == '\0')
        return false;
    long v = 0;
    for (const char *p = word; *p != '\0'; p++) {
        if (*p < '0' || *p > '9')
            return false;
        if (v < 1000000)
            v = v * 10 + (*p - '0');
    }
    *value = v;
    return true;
}

// A refused change during a reload: message, block closed, failure.
static int
reload_refusal(const char *message)
{
    block_close();
    return cmd_error("%s", message);
}

static int
object_index(const char *word, int max)
{
    long v;
    if (!parse_uint(word, &v) || v < 1 || v > max)
        return 0;
    return (int)v;
}

// ---------------------------------------------------------------------------
// network

// An IPv4 setting of a network: addr, mask, real, virt.
struct NETADDR4 {
    const char *word;            // subcommand, typed in full except addr
    size_t offset;               // field in NETWORK
    const char *invalid;         // bad value outside a reload
    const char *invalid_reload;  // bad value during a reload
    const char *changed_reload;  // another value during a reload
};

static const NETADDR4 netaddr4[] = {
    {"addr", offsetof(NETWORK, addr), "invalid network address specification\n",
     "invalid network address specification on reload\n", "invalid network address change during reload\n"},
    {"mask", offsetof(NETWORK, mask), "invalid mask specification\n",
     "invalid network mask specification on reload\n", "invalid network mask change during reload\n"},
    {"real", offsetof(NETWORK, real), "invalid real address specification\n",
     "invalid network real address specification on reload\n",
     "invalid network real address change during reload\n"},
    {"virt", offsetof(NETWORK, virt), "invalid virtual address specification\n",
     "invalid network virt address specification on reload\n",
     "invalid network virt address change during reload\n"},
};

static int
network_addr4(int n, const NETADDR4 &spec, const char *value)
{
    NETWORK &net = cfg_edit().networks[n];
    uint8_t *field = reinterpret_cast<uint8_t *>(&net) + spec.offset;
    uint8_t a[4];
    bool ok = parse_ipv4(value, a);
    bool real = field == net.real;
    if (interp.reload_pass != 0) {
        if (!ok)
            return reload_refusal(spec.invalid_reload);
        // The private file gave this node's real address earlier in the
        // same pass; the shared file's other value is the peer's.
        if (memcmp(a, field, 4) != 0 && !(real && conffiles.given_real[n]))
            return reload_refusal(spec.changed_reload);
    } else if (!ok) {
        return cmd_error("%s", spec.invalid);
    }
    if (real && interp.loading && !ipv4_is_zero(net.real) &&
        (interp.reload_pass == 0 || conffiles.given_real[n])) {
        log_message(6, "maintaining node specific real address %d.%d.%d.%d of network %d", net.real[0],
                    net.real[1], net.real[2], net.real[3], n);
        return 1;
    }
    if (real && interp.loading)
        conffiles.given_real[n] = 1;
    if (interp.reload_pass == 0)
        memcpy(field, a, 4);
    return 1;
}

static int
network_addr6(int n, bool real, const char *value)
{
    NETWORK &net = cfg_edit().networks[n];
    uint8_t *field = real ? net.real6 : net.virt6;
    uint8_t a[16];
    bool ok = parse_ipv6(value, a);
    if (interp.reload_pass != 0) {
        if (!ok)
            return reload_refusal(real ? "invalid network real6 address specification on reload\n"
                                       : "invalid network virt6 address specification on reload\n");
        if (memcmp(a, field, 16) != 0 && !(real && conffiles.given_real6[n]))
            return reload_refusal(real ? "invalid network real6 address change during reload\n"
                                       : "invalid network virt6 address change during reload\n");
    } else if (!ok) {
        memset(field, 0, 16);
        return cmd_error("invalid IPv6-address %s\n", value);
    }
    if (real && interp.loading && !ipv6_is_zero(net.real6) &&
        (interp.reload_pass == 0 || conffiles.given_real6[n])) {
        log_message(6, "maintaining node specific real6 address of network %d", n);
        return 1;
    }
    if (real && interp.loading)
        conffiles.given_real6[n] = 1;
    if (interp.reload_pass == 0)
        memcpy(field, a, 16);
    return 1;
}

static int
network_mask6(int n, const char *value)
{
    NETWORK &net = cfg_edit().networks[n];
    long v = 0;
    bool ok = keyword_match(value, "none") || (parse_uint(value, &v) && v <= 128);
    if (interp.reload_pass != 0) {
        if (!ok || v != net.mask6)
            return reload_refusal("invalid network mask6 change during reload\n");
        return 1;
    }
    if (!ok) {
        net.mask6 = 0;
        return cmd_error("invalid mask6 specification\n");
    }
    net.mask6 = (int32_t)v;
    return 1;
}

static int
network_nat(int n, const char *value)
{
    int32_t mode;
    if (keyword_match(value, "none") || keyword_match(value, "off") || keyword_match(value, "default"))
        mode = NAT_NONE;
    else if (keyword_match(value, "inside"))
        mode = NAT_INSIDE;
    else if (keyword_match(value, "outside"))
        mode = NAT_OUTSIDE;
    else
        return interp.reload_pass != 0 ? reload_refusal("invalid nat specifier\n")
                                       : cmd_error("invalid nat specifier\n");
    NETWORK &net = cfg_edit().networks[n];
    if (interp.reload_pass != 0) {
        if (mode != net.nat)
            return reload_refusal("invalid network nat change during reload\n");
        return 1;
    }
    net.nat = mode;
    return 1;
}

static int
network_members(int n, const char *value)
{
    NETWORK &net = cfg_edit().networks[n];
    int32_t previous[IFSLOTS];
    memcpy(previous, net.member, sizeof previous);
    memset(net.member, 0, sizeof net.member);
    if (!keyword_match(value, "none")) {
        char item[1024];
        const char *p = value;
        while (*p != '\0') {
            const char *end = strchr(p, ',');
            size_t len = end != nullptr ? (size_t)(end - p) : strlen(p);
            if (len > 0) {
                snprintf(item, sizeof item, "%.*s", (int)len, p);
                int slot = -1;
                int number = atoi(item);
                if (number >= 1) {
                    if (number <= MAXINTERFACE && cfg_edit().interfaces[number].registered)
                        slot = number;
                } else {
                    slot = interface_slot_by_name(item);
                }
                if (slot < 0) {
                    // During a reload nothing may change, not even in part.
                    if (interp.reload_pass != 0) {
                        memcpy(net.member, previous, sizeof previous);
                        block_close();
                    }
                    return cmd_error("unknown interface %s\n", item);
                }
                net.member[slot] = 1;
            }
            if (end == nullptr)
                break;
            p = end + 1;
        }
    }
    if (interp.reload_pass != 0 && memcmp(previous, net.member, sizeof previous) != 0) {
        memcpy(net.member, previous, sizeof previous);
        return reload_refusal("invalid network interface change during reload\n");
    }
    return 1;
}

int
cmd_network(int argc, char **argv, FILE *)
{
    int n = object_index(argv[1], MAXNETWORK);
    if (n == 0)
        return cmd_error("network index out of range\n");
    const char *sub = argv[2];
    if (argc == 3) {
        if (strcmp(sub, "{") == 0) {
            block_open("network", argv[1]);
            return 1;
        }
        if (strcmp(sub, "}") == 0) {
            block_close();
            return 1;
        }
        return cmd_error("unknown network subcommand %s\n", sub);
    }
    NETWORK &net = cfg_edit().networks[n];
    if (interp.reload_pass == 0 && net.enabled)
        return cmd_error("network editing not allowed in enabled state\n");
    const char *value = argv[3];
    if (keyword_match(sub, "addr"))
        return network_addr4(n, netaddr4[0], value);
    if (strcmp(sub, "mask") == 0)
        return network_addr4(n, netaddr4[1], value);
    if (strcmp(sub, "mask6") == 0)
        return network_mask6(n, value);
    if (strcmp(sub, "real") == 0)
        return network_addr4(n, netaddr4[2], value);
    if (strcmp(sub, "virt") == 0)
        return network_addr4(n, netaddr4[3], value);
    if (strcmp(sub, "real6") == 0)
        return network_addr6(n, true, value);
    if (strcmp(sub, "virt6") == 0)
        return network_addr6(n, false, value);
    if (keyword_match(sub, "nat"))
        return network_nat(n, value);
    if (keyword_match(sub, "name"))
        return cw_set_text(net.name, sizeof net.name, value, CW_BARE_OR_QUOTED);
    if (keyword_match(sub, "interface") || keyword_match(sub, "interfaces"))
        return network_members(n, value);
    if (keyword_match(sub, "synciface")) {
        if (keyword_match(value, "none")) {
            net.synciface = SYNCIFACE_NONE;
            return 1;
        }
        int slot = interface_slot_by_name(value);
        if (slot < 0)
            return cmd_error("unknown interface %s\n", value);
        net.synciface = slot;
        return 1;
    }
    return cmd_error("unknown network subcommand %s\n", sub);
}

// ---------------------------------------------------------------------------
// interface

static const KEYWORD_CODE access_keywords[] = {
    {"raw", ACCESS_RAW},
    {"default", ACCESS_RAW},
    {"tap", ACCESS_TAP},
    {"vpn", ACCESS_VPN},
};

int
cmd_interface(int argc, char **argv, FILE *out)
{
    if (argc == 2)
        return interface_oneword(argc, argv, out);
    int n = object_index(argv[1], MAXINTERFACE);
    if (n == 0)
        return cmd_error("interface index out of range\n");
    const char *sub = argv[2];
    if (argc == 3) {
        if (strcmp(sub, "{") == 0) {
            block_open("interface", argv[1]);
            return 1;
        }
        if (strcmp(sub, "}") == 0) {
            block_close();
            return 1;
        }
        return cmd_error("unknown interface subcommand %s\n", sub);
    }
    INTERFACE &i = cfg_edit().interfaces[n];
    if (interp.reload_pass == 0 && i.enabled)
        return cmd_error("interface editing not allowed in enabled state\n");
    const char *value = argv[3];
    long v;
    if (keyword_match(sub, "name")) {
        if (strchr(value, ':') != nullptr)
            return cmd_error("sub-interface %s not permitted, use main interface\n", value);
        return cw_set_text(i.name, sizeof i.name, value, CW_BARE_OR_QUOTED);
    }
    if (keyword_match(sub, "trackval")) {
        // Reported, but the line still succeeds.
        if (keyword_match(value, "default"))
            i.trackval = 0;
        else if (parse_uint(value, &v) && v <= 254)
            i.trackval = (int32_t)v;
        else
            cmd_error("invalid trackval\n");
        return 1;
    }
    if (keyword_match(sub, "threads")) {
        if (keyword_match(value, "default"))
            i.threads = 1;
        else if (parse_uint(value, &v) && v >= 1 && v <= 8)
            i.threads = (int32_t)v;
        else
            cmd_error("invalid number of threads (1-8 allowed)\n");
        return 1;
    }
    if (keyword_match(sub, "init"))
        return cw_set_text(i.init, sizeof i.init, value, CW_QUOTED);
    if (keyword_match(sub, "alert"))
        return cw_set_text(i.alert, sizeof i.alert, value, CW_QUOTED);
    if (keyword_match(sub, "upalert"))
        return cw_set_text(i.upalert, sizeof i.upalert, value, CW_QUOTED);
    if (keyword_match(sub, "access")) {
        for (const KEYWORD_CODE &k : access_keywords) {
            if (!keyword_match(value, k.name))
                continue;
            if (interp.reload_pass != 0 && k.code != i.access)
                return reload_refusal("invalid interface access specification on reload\n");
            i.access = k.code;
            return 1;
        }
        return cmd_error("unknown interface access method %s\n", value);
    }
    return cmd_error("unknown interface subcommand %s\n", sub);
}

// ---------------------------------------------------------------------------
// gateway

static int
gateway_ipaddr(const char *value, const char *invalid)
{
    GATEWAY &gw = cfg_edit().gateway;
    uint8_t a[4];
    if (!parse_ipv4(value, a))
        return cmd_error("%s", invalid);
    uint8_t a16[16];
    ipv4_mapped(a16, a);
    int net = arp_find_network(a16);
    if (net == 0)
        return cmd_error("gateway address not directly reachable\n");
    memcpy(gw.ipaddr, a, 4);
    arp_make_entry(a16, nullptr, 0, 0, 0, net, 0, nullptr);
    gw.active4 = 1;
    gw.configured = 1;
    return 1;
}

static int
gateway_ipaddr6(const char *value)
{
    GATEWAY &gw = cfg_edit().gateway;
    uint8_t a[16];
    if (!parse_ipv6(value, a)) {
        memset(gw.ipaddr6, 0, 16);
        return cmd_error("invalid IPv6-address %s\n", value);
    }
    int net = arp_find_network(a);
    if (net == 0)
        return cmd_error("gateway IPv6 address not directly reachable\n");
    memcpy(gw.ipaddr6, a, 16);
    arp_make_entry(a, nullptr, 0, 0, 0, net, 0, nullptr);
    gw.active6 = 1;
    gw.configured = 1;
    return 1;
}

static int
gateway_check(GWCHECK &check, const char *name, const char *value)
{
    if (keyword_match(value, "off") || keyword_match(value, "disable")) {
        check = GWCHECK{};
        return 1;
    }
    const char *comma = strchr(value, ',');
    char first[32];
    long a, b;
    if (comma == nullptr || (size_t)(comma - value) >= sizeof first)
        return cmd_error("syntax error at gateway \"%s\"\n", name);
    snprintf(first, sizeof first, "%.*s", (int)(comma - value), value);
    if (!parse_uint(first, &a) || !parse_uint(comma + 1, &b))
        return cmd_error("syntax error at gateway \"%s\"\n", name);
    if (a < 1 || a > b || b > 1000000 - 1)
        return cmd_error("value range error at gateway \"%s\" values\n", name);
    check = GWCHECK{};
    check.interval = (int32_t)a;
    check.timeout = (int32_t)b;
    return 1;
}

int
cmd_gateway(int argc, char **argv, FILE *)
{
    GATEWAY &gw = cfg_edit().gateway;
    if (argc == 1)
        return cmd_error("syntax error\n");
    if (argc == 2) {
        if (strcmp(argv[1], "{") == 0) {
            block_open("gateway", "");
            return 1;
        }
        if (strcmp(argv[1], "}") == 0) {
            block_close();
            return 1;
        }
        if (interp.reload_pass != 0) {
            uint8_t a[4];
            if (!parse_ipv4(argv[1], a))
                return cmd_error("syntax error\n");
            memcpy(gw.ipaddr, a, 4);
            return 1;
        }
        return gateway_ipaddr(argv[1], "syntax error\n");
    }
    if (interp.reload_pass != 0)
        return 1;
    const char *sub = argv[1];
    const char *value = argv[2];
    if (keyword_match(sub, "ipaddr"))
        return gateway_ipaddr(value, "invalid gateway IP address\n");
    if (keyword_match(sub, "ipaddr6"))
        return gateway_ipaddr6(value);
    if (keyword_match(sub, "arp"))
        return gateway_check(gw.arp, "arp", value);
    if (keyword_match(sub, "nd6"))
        return gateway_check(gw.nd6, "nd6", value);
    if (keyword_match(sub, "ping"))
        return gateway_check(gw.ping, "ping", value);
    if (keyword_match(sub, "ping6"))
        return gateway_check(gw.ping6, "ping6", value);
    if (keyword_match(sub, "trackval")) {
        long v;
        if (keyword_match(value, "default"))
            gw.trackval = 0;
        else if (parse_uint(value, &v) && v <= 254)
            gw.trackval = (int32_t)v;
        else
            return cmd_error("invalid trackval value\n");
        return 1;
    }
    if (keyword_match(sub, "alert") || keyword_match(sub, "upalert")) {
        char *field = keyword_match(sub, "alert") ? gw.alert : gw.upalert;
        if (!cw_text_fits(value, CMDLEN, CW_QUOTED))
            return cw_text_refused(value);
        snprintf(field, CMDLEN, "%s", value);
        return 1;
    }
    return cmd_error("invalid gateway subcommand\n");
}

int
cmd_no_gateway(int, char **, FILE *)
{
    GATEWAY &gw = cfg_edit().gateway;
    if (!gw.configured)
        return cmd_error("gateway already inactive\n");
    gw.configured = 0;
    gw.active4 = 0;
    gw.active6 = 0;
    uint8_t a16[16];
    if (!ipv4_is_zero(gw.ipaddr) && !reload_dry_run()) {
        ipv4_mapped(a16, gw.ipaddr);
        arp_delete(a16);
    }
    if (!ipv6_is_zero(gw.ipaddr6) && !reload_dry_run())
        arp_delete(gw.ipaddr6);
    memset(gw.ipaddr, 0, 4);
    memset(gw.ipaddr6, 0, 16);
    return 1;
}

// ---------------------------------------------------------------------------
// vrrp

// One numeric VRRP setting: vrid, priority, network.
struct VRRPSETTING {
    const char *word;
    int32_t VRRPCONF::*field;
    int max;
    const char *invalid;
    const char *changed_reload;
};

static const VRRPSETTING vrrp_settings[] = {
    {"vrid", &VRRPCONF::vrid, 255, "invalid vrid (valid 1-255)\n", "invalid vrid change during reload\n"},
    {"priority", &VRRPCONF::priority, 255, "invalid priority (valid 1-255, 255=master)\n",
     "invalid VRRP priority change during reload\n"},
    {"network", &VRRPCONF::network, MAXNETWORK, "invalid network index\n",
     "invalid VRRP network change during reload\n"},
};

static int
vrrp_setting(const VRRPSETTING &s, const char *value)
{
    VRRPCONF &v = cfg_edit().vrrp;
    int32_t &field = v.*s.field;
    if (keyword_match(value, "none")) {
        if (interp.reload_pass != 0) {
            if (field != 0)
                return reload_refusal(s.changed_reload);
            return 1;
        }
        if (vrrp_configured())
            vrrp_shutdown();
        field = 0;
        if (s.field == &VRRPCONF::vrid)
            v.vmac[5] = 0;
        return 1;
    }
    long x;
    if (!parse_uint(value, &x) || x < 1 || x > s.max)
        return interp.reload_pass != 0 ? reload_refusal(s.invalid) : cmd_error("%s", s.invalid);
    bool priority = s.field == &VRRPCONF::priority;
    if (interp.reload_pass != 0) {
        // As for real addresses: a priority the private file gave earlier
        // in the same pass stays.
        if (x != field && !(priority && conffiles.given_priority))
            return reload_refusal(s.changed_reload);
    }
    if (priority && interp.loading && v.priority != 0 &&
        (interp.reload_pass == 0 || conffiles.given_priority)) {
        log_message(6, "maintaining node specific VRRP priority %d", v.priority);
        return 1;
    }
    if (priority && interp.loading)
        conffiles.given_priority = 1;
    if (interp.reload_pass != 0)
        return 1;
    field = (int32_t)x;
    if (s.field == &VRRPCONF::vrid)
        v.vmac[5] = (uint8_t)x;
    if (vrrp_configured())
        vrrp_startup();
    return 1;
}

int
cmd_vrrp(int argc, char **argv, FILE *)
{
    if (argc == 2) {
        if (strcmp(argv[1], "{") == 0) {
            block_open("vrrp", "");
            return 1;
        }
        if (strcmp(argv[1], "}") == 0) {
            block_close();
            return 1;
        }
        return cmd_error("invalid vrrp subcommand\n");
    }
    const char *sub = argv[1];
    const char *value = argv[2];
    for (const VRRPSETTING &s : vrrp_settings)
        if (keyword_match(sub, s.word))
            return vrrp_setting(s, value);
    VRRPCONF &v = cfg_edit().vrrp;
    if (keyword_match(sub, "tracking")) {
        if (keyword_match(value, "enable"))
            v.tracking = 1;
        else if (keyword_match(value, "disable") || keyword_match(value, "default"))
            v.tracking = 0;
        else
            return cmd_error("invalid vrrp tracking parameter (enable|disable)\n");
        return 1;
    }
    if (keyword_match(sub, "mscript") || keyword_match(sub, "bscript")) {
        char *field = keyword_match(sub, "mscript") ? v.mscript : v.bscript;
        if (!cw_text_fits(value, CMDLEN, CW_QUOTED))
            return cw_text_refused(value);
        snprintf(field, CMDLEN, "%s", value);
        return 1;
    }
    return cmd_error("invalid vrrp subcommand\n");
}

// ---------------------------------------------------------------------------
// Block writers

// A line inside a block: the empty first word, then the setting.
static void
inner(FILE *out, const char *fmt)
{
    cw_word(out, fmt, "");
}

void
write_interface_block(FILE *out, const char *fmt, int n)
{
    const INTERFACE &i = cfg.interfaces[n];
    cw_word(out, fmt, "interface");
    fprintf(out, "%d {\n", n);
    if (i.name[0] != '\0') {
        inner(out, fmt);
        fprintf(out, "name ");
        cw_string(out, i.name);
        fputc('\n', out);
    }
    static const char *const access_names[] = {"raw", "tap", "vpn"};
    inner(out, fmt);
    fprintf(out, "access %s\n", i.access >= 0 && i.access <= 2 ? access_names[i.access] : "raw");
    if (i.threads > 1) {
        inner(out, fmt);
        fprintf(out, "threads %d\n", i.threads);
    }
    if (i.init[0] != '\0') {
        inner(out, fmt);
        fprintf(out, "init \"%s\"\n", i.init);
    }
    if (i.trackval > 0) {
        inner(out, fmt);
        fprintf(out, "trackval %d\n", i.trackval);
    }
    if (i.alert[0] != '\0') {
        inner(out, fmt);
        fprintf(out, "alert \"%s\"\n", i.alert);
    }
    if (i.upalert[0] != '\0') {
        inner(out, fmt);
        fprintf(out, "upalert \"%s\"\n", i.upalert);
    }
    cw_close(out, fmt);
}

void
write_vrrp_block(FILE *out, const char *fmt)
{
    const VRRPCONF &v = cfg.vrrp;
    if (v.vrid == 0 && v.priority == 0 && v.network == 0)
        return;
    cw_word(out, fmt, "vrrp");
    fprintf(out, "{\n");
    if (v.vrid != 0) {
        inner(out, fmt);
        fprintf(out, "vrid %d\n", v.vrid);
    }
    if (v.priority != 0) {
        inner(out, fmt);
        fprintf(out, "priority %d\n", v.priority);
    }
    if (v.network != 0) {
        inner(out, fmt);
        fprintf(out, "network %d\n", v.network);
    }
    if (v.tracking) {
        inner(out, fmt);
        fprintf(out, "tracking enable\n");
    }
    if (v.bscript[0] != '\0') {
        inner(out, fmt);
        fprintf(out, "bscript \"%s\"\n", v.bscript);
    }
    if (v.mscript[0] != '\0') {
        inner(out, fmt);
        fprintf(out, "mscript \"%s\"\n", v.mscript);
    }
    cw_close(out, fmt);
}

static void
write_ipv4_line(FILE *out, const char *fmt, const char *word, const uint8_t a[4])
{
    if (ipv4_is_zero(a))
        return;
    char text[16];
    inner(out, fmt);
    fprintf(out, "%s %s\n", word, format_ipv4(text, sizeof text, a));
}

static void
write_ipv6_line(FILE *out, const char *fmt, const char *word, const uint8_t a[16])
{
    if (ipv6_is_zero(a))
        return;
    char text[64];
    inner(out, fmt);
    fprintf(out, "%s %s\n", word, format_ipv6(text, sizeof text, a));
}

void
write_network_block(FILE *out, const char *fmt, int n)
{
    const NETWORK &net = cfg.networks[n];
    cw_word(out, fmt, "network");
    fprintf(out, "%d {\n", n);
    if (net.name[0] != '\0') {
        inner(out, fmt);
        fprintf(out, "name ");
        cw_string(out, net.name);
        fputc('\n', out);
    }
    write_ipv4_line(out, fmt, "addr", net.addr);
    write_ipv4_line(out, fmt, "mask", net.mask);
    write_ipv4_line(out, fmt, "real", net.real);
    write_ipv4_line(out, fmt, "virt", net.virt);
    if (net.mask6 != 0) {
        inner(out, fmt);
        fprintf(out, "mask6 %d\n", net.mask6);
    }
    write_ipv6_line(out, fmt, "real6", net.real6);
    write_ipv6_line(out, fmt, "virt6", net.virt6);
    if (net.nat == NAT_INSIDE || net.nat == NAT_OUTSIDE) {
        inner(out, fmt);
        fprintf(out, net.nat == NAT_INSIDE ? "nat inside\n" : "nat outside\n");
    }
    int members = 0;
    for (int i = 0; i < IFSLOTS; i++)
        members += net.member[i] != 0;
    inner(out, fmt);
    if (members == 0) {
        fprintf(out, "interface none");
    } else {
        fprintf(out, members == 1 ? "interface " : "interfaces ");
        const char *sep = "";
        for (int i = 0; i < IFSLOTS; i++)
            if (net.member[i]) {
                fprintf(out, "%s%d", sep, i);
                sep = ",";
            }
    }
    fputc('\n', out);
    if (net.synciface >= 0 && net.synciface <= MAXINTERFACE && cfg.interfaces[net.synciface].name[0] != '\0') {
        inner(out, fmt);
        fprintf(out, "synciface %s\n", cfg.interfaces[net.synciface].name);
    }
    cw_close(out, fmt);
}

static void
write_check_line(FILE *out, const char *fmt, const char *word, const GWCHECK &c)
{
    if (c.interval == 0)
        return;
    inner(out, fmt);
    fprintf(out, "%s %d,%d\n", word, c.interval, c.timeout);
}

void
write_gateway_block(FILE *out, const char *fmt)
{
    const GATEWAY &gw = cfg.gateway;
    if (!gw.configured)
        return;
    cw_word(out, fmt, "gateway");
    fprintf(out, "{\n");
    write_ipv4_line(out, fmt, "ipaddr", gw.ipaddr);
    write_ipv6_line(out, fmt, "ipaddr6", gw.ipaddr6);
    write_check_line(out, fmt, "arp", gw.arp);
    write_check_line(out, fmt, "nd6", gw.nd6);
    write_check_line(out, fmt, "ping", gw.ping);
    write_check_line(out, fmt, "ping6", gw.ping6);
    if (gw.trackval != 0) {
        inner(out, fmt);
        fprintf(out, "trackval %d\n", gw.trackval);
    }
    if (gw.alert[0] != '\0') {
        inner(out, fmt);
        fprintf(out, "alert \"%s\"\n", gw.alert);
    }
    if (gw.upalert[0] != '\0') {
        inner(out, fmt);
        fprintf(out, "upalert \"%s\"\n", gw.upalert);
    }
    cw_close(out, fmt);
}

// ---------------------------------------------------------------------------
// Show items

static void
label(FILE *out, const char *name, const char *value)
{
    fprintf(out, "  %-10s%s\n", name, value);
}

static const char *
state_text(int32_t registered, int32_t enabled)
{
    return enabled ? "enabled" : registered ? "registered" : "unregistered";
}

static void
member_text(char *buf, size_t size, const NETWORK &net)
{
    buf[0] = '\0';
    size_t used = 0;
    for (int i = 0; i < IFSLOTS && used < size; i++)
        if (net.member[i])
            used += snprintf(buf + used, size - used, "%s%d", used ? "," : "", i);
}

int
show_networks(int, char **, FILE *out)
{
    static const char *const nat_names[] = {"none", "inside", "outside"};
    TP *tp = tp_new(out);
    for (const char *h : {"#net", "name", "addr", "mask", "real", "virt", "#mask6", "real6", "virt6", "nat",
                          "interfaces", "state"})
        tp_cell(tp, h);
    tp_newrow(tp);
    for (int n = 1; n <= MAXNETWORK; n++) {
        const NETWORK &net = cfg.networks[n];
        if (!net.registered)
            continue;
        char members[128];
        member_text(members, sizeof members, net);
        tp_int(tp, n);
        tp_cell(tp, net.name);
        tp_ipv4(tp, net.addr);
        tp_ipv4(tp, net.mask);
        tp_ipv4(tp, net.real);
        tp_ipv4(tp, net.virt);
        tp_int(tp, net.mask6);
        tp_ipv6(tp, net.real6);
        tp_ipv6(tp, net.virt6);
        tp_cell(tp, net.nat >= 0 && net.nat <= 2 ? nat_names[net.nat] : "?");
        tp_cell(tp, members);
        tp_cell(tp, state_text(net.registered, net.enabled));
        tp_newrow(tp);
    }
    tp_print(tp);
    tp_free(tp);
    return 1;
}

int
show_network(int, char **argv, FILE *out)
{
    int n = object_index(argv[2], MAXNETWORK);
    if (n == 0)
        return cmd_error("network index out of range\n");
    const NETWORK &net = cfg.networks[n];
    write_network_block(out, LINEFMT_SCREEN, n);
    char text[32];
    label(out, "state", state_text(net.registered, net.enabled));
    if (net.enabled) {
        if (!ipv4_is_zero(net.real))
            label(out, "realmac", format_mac(text, sizeof text, net.realmac));
        if (!ipv4_is_zero(net.virt))
            label(out, "virtmac", format_mac(text, sizeof text, net.virtmac));
    }
    label(out, "outside", cfg.natoutside.network == n ? "held" : "no");
    return 1;
}

int
show_gateway(int, char **, FILE *out)
{
    const GATEWAY &gw = cfg.gateway;
    if (!gw.configured) {
        label(out, "gateway", "not configured");
        return 1;
    }
    write_gateway_block(out, LINEFMT_SCREEN);
    label(out, "ipv4", gw.active4 ? "active" : "inactive");
    label(out, "ipv6", gw.active6 ? "active" : "inactive");
    label(out, "state", gw.state ? "operational" : "down");
    return 1;
}

struct VIPLIST {
    FILE *out;   // stream of the show
    int count;   // ipaddr lines written
};

static void
show_vip(const uint8_t ip16[16], void *arg)
{
    auto *l = static_cast<VIPLIST *>(arg);
    char name[16], text[64];
    snprintf(name, sizeof name, "ipaddr%d", l->count++);
    label(l->out, name, format_ip16(text, sizeof text, ip16));
}

int
show_vrrp(int, char **, FILE *out)
{
    const VRRPCONF &v = cfg.vrrp;
    if (!vrrp_identity_set()) {
        label(out, "state", "OFF");
        return 1;
    }
    static const char *const states[] = {"INITIALIZE", "MASTER", "BACKUP"};
    label(out, "state", v.state >= 0 && v.state <= 2 ? states[v.state] : "INITIALIZE");
    char text[CMDLEN + 64];
    snprintf(text, sizeof text, "%d (0x%02x)", v.vrid, v.vrid);
    label(out, "vrid", text);
    snprintf(text, sizeof text, "%d", v.priority);
    label(out, "priority", text);
    if (v.tracking) {
        int effective = vrrp_effective_priority();
        if (effective != v.priority)
            snprintf(text, sizeof text, "priority degraded to %d", effective);
        else
            snprintf(text, sizeof text, "priority not degraded");
        label(out, "tracking", text);
    }
    if (v.mscript[0] != '\0') {
        snprintf(text, sizeof text, "\"%s\"", v.mscript);
        label(out, "mscript", text);
    }
    if (v.bscript[0] != '\0') {
        snprintf(text, sizeof text, "\"%s\"", v.bscript);
        label(out, "bscript", text);
    }
    VIPLIST list{out, 0};
    arp_walk_vips(v.vmac, show_vip, &list);
    return 1;
}
