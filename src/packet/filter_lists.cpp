// The filter lists as ARPHASH/MACHASH instances, their commands
// ("ipallow", "ipdeny", "macallow", "macdeny", "macrouter", their block
// forms and revert forms) and their configuration writer.
#include "packet/filter_lists.h"

#include <arpa/inet.h>
#include <cstdlib>
#include <cstring>

#include "command/command_table.h"
#include "command/interpreter.h"
#include "config/addr.h"
#include "config/config_writer.h"

ARPHASH *ipallow_list = ah_create();
ARPHASH *ipdeny_list = ah_create();
MACHASH *macallow_list = mh_create();
MACHASH *macdeny_list = mh_create();

namespace {

const uint8_t zero_mac[6] = {0, 0, 0, 0, 0, 0};

// The table of an IP list, nullptr for a MAC list or a bad number.
ARPHASH *ip_list(int list)
{
    switch (list) {
    case FL_IPALLOW:
        return ipallow_list;
    case FL_IPDENY:
        return ipdeny_list;
    default:
        return nullptr;
    }
}

// The table of a MAC list, nullptr for an IP list or a bad number.
MACHASH *mac_list(int list)
{
    switch (list) {
    case FL_MACALLOW:
        return macallow_list;
    case FL_MACDENY:
        return macdeny_list;
    case FL_MACROUTER:
        return macrouter_list;
    default:
        return nullptr;
    }
}

} // namespace

bool fl_insert_mac(int list, const uint8_t mac[6])
{
    MACHASH *t = mac_list(list);
    if (t == nullptr)
        return false;
    mh_insert(t, mac, FL_NOSLOT);
    return true;
}

bool fl_insert_ip(int list, const uint8_t addr[16])
{
    ARPHASH *t = ip_list(list);
    if (t == nullptr)
        return false;
    ah_insert(t, addr, zero_mac);
    return true;
}

bool fl_has_mac(int list, const uint8_t mac[6])
{
    MACHASH *t = mac_list(list);
    return t != nullptr && mh_lookup(t, mac) != nullptr;
}

bool fl_has_ip(int list, const uint8_t addr[16])
{
    ARPHASH *t = ip_list(list);
    return t != nullptr && ah_find(t, addr) != nullptr;
}

void fl_clear(int list)
{
    if (ARPHASH *a = ip_list(list))
        ah_clear(a);
    else if (MACHASH *m = mac_list(list))
        mh_clear(m);
}

int fl_count(int list)
{
    int n = 0;
    if (ARPHASH *a = ip_list(list)) {
        ah_walk(a, [](AHENTRY *, void *arg) { ++*(int *)arg; }, &n);
    } else if (MACHASH *m = mac_list(list)) {
        mh_walk(m, [](MHENTRY *, void *arg) { ++*(int *)arg; }, &n);
    }
    return n;
}

// ---------------------------------------------------------------------------
// Commands

namespace {

// The block forms "<list> {" and "<list> }" of a list command; true when
// the word was one of them (the command is then done).
bool list_block(const char *command, const char *word)
{
    if (strcmp(word, "{") == 0) {
        block_open(command, "");
        return true;
    }
    if (strcmp(word, "}") == 0) {
        block_close();
        return true;
    }
    return false;
}

int add_mac(int list, const char *command, const char *word)
{
    if (list_block(command, word))
        return 1;
    uint8_t mac[6];
    if (!parse_mac(word, mac))
        return cmd_error("invalid MAC address format");
    // The dry run of a reload only checks the address.
    if (!reload_dry_run())
        fl_insert_mac(list, mac);
    return 1;
}

int add_ip(int list, const char *command, const char *word)
{
    if (list_block(command, word))
        return 1;
    uint8_t addr[16];
    if (inet_pton(AF_INET6, word, addr) != 1)
        return cmd_error("invalid IP address");
    if (!reload_dry_run())
        fl_insert_ip(list, addr);
    return 1;
}

} // namespace

int cmd_ipallow(int, char **argv, FILE *) { return add_ip(FL_IPALLOW, "ipallow", argv[1]); }
int cmd_ipdeny(int, char **argv, FILE *) { return add_ip(FL_IPDENY, "ipdeny", argv[1]); }
int cmd_macallow(int, char **argv, FILE *) { return add_mac(FL_MACALLOW, "macallow", argv[1]); }
int cmd_macdeny(int, char **argv, FILE *) { return add_mac(FL_MACDENY, "macdeny", argv[1]); }
int cmd_macrouter(int, char **argv, FILE *) { return add_mac(FL_MACROUTER, "macrouter", argv[1]); }

// The revert forms discard the whole list.
static int discard(int list)
{
    if (!reload_dry_run())
        fl_clear(list);
    return 1;
}

int cmd_no_ipallow(int, char **, FILE *) { return discard(FL_IPALLOW); }
int cmd_no_ipdeny(int, char **, FILE *) { return discard(FL_IPDENY); }
int cmd_no_macallow(int, char **, FILE *) { return discard(FL_MACALLOW); }
int cmd_no_macdeny(int, char **, FILE *) { return discard(FL_MACDENY); }
int cmd_no_macrouter(int, char **, FILE *) { return discard(FL_MACROUTER); }

// ---------------------------------------------------------------------------
// Configuration writer

namespace {

// The keys of one list, collected by a walk: 16 bytes per entry (MACs use
// the first 6, the rest zero, so one sort serves both kinds).
struct KEYS {
    uint8_t (*key)[16];  // collected keys, malloc()ed
    int count;           // keys collected
    int capacity;        // room in key
};

void keys_add(KEYS *k, const uint8_t *bytes, int len)
{
    if (k->count == k->capacity) {
        int cap = k->capacity == 0 ? 64 : 2 * k->capacity;
        void *p = realloc(k->key, (size_t)cap * 16);
        if (p == nullptr)
            return;  // a list this large cannot be saved whole; keep what fits
        k->key = (uint8_t(*)[16])p;
        k->capacity = cap;
    }
    memset(k->key[k->count], 0, 16);
    memcpy(k->key[k->count], bytes, (size_t)len);
    k->count++;
}

int key_order(const void *a, const void *b) { return memcmp(a, b, 16); }

} // namespace

void write_filter_lists(FILE *out, const char *fmt)
{
    static const struct {
        int list;          // FILTERLIST
        const char *name;  // command word
    } order[] = {
        {FL_MACALLOW, "macallow"}, {FL_MACDENY, "macdeny"},     {FL_IPALLOW, "ipallow"},
        {FL_IPDENY, "ipdeny"},     {FL_MACROUTER, "macrouter"},
    };
    for (const auto &o : order) {
        KEYS k = {.key = nullptr, .count = 0, .capacity = 0};
        MACHASH *m = mac_list(o.list);
        if (m != nullptr)
            mh_walk(m, [](MHENTRY *e, void *arg) { keys_add((KEYS *)arg, e->mac, 6); }, &k);
        else
            ah_walk(ip_list(o.list), [](AHENTRY *e, void *arg) { keys_add((KEYS *)arg, e->addr, 16); }, &k);
        if (k.count > 0) {
            // Sorted, so that saving the same list twice gives the same text.
            qsort(k.key, (size_t)k.count, 16, key_order);
            cw_word(out, fmt, o.name);
            fputs("{\n", out);
            for (int i = 0; i < k.count; i++) {
                char text[64];
                if (m != nullptr)
                    format_mac(text, sizeof text, k.key[i]);
                else
                    inet_ntop(AF_INET6, k.key[i], text, sizeof text);
                cw_word(out, fmt, "");
                fprintf(out, "%s\n", text);
            }
            cw_close(out, fmt);
        }
        free(k.key);
    }
}
