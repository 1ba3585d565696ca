// The global configuration state and the initial values of its records.

#include "config/config_state.h"

#include <cstdlib>
#include <cstring>

// The default session identifier handlers; defined with the other handlers
// by the session identifier module.
#include "balance/session_id.h"
#include "balance/slb.h"
#include "command/interpreter.h"
#include "command/log.h"
#include "config/index_registry.h"
#include "command/process.h"

CONFIG cfg;

// The dry run's copy of the configuration and its registries; allocated
// on the first reload (ten megabytes that a daemon never reloaded does
// not need).
static CONFIG *scratch_cfg = nullptr;
static INDEXREGISTRY *scratch_servers = nullptr;
static INDEXREGISTRY *scratch_targets = nullptr;

// A dry run never changes cfg: if it started without a copy, it gets one.
static void
scratch_ready()
{
    if (scratch_cfg == nullptr)
        cfg_scratch_begin();
}

CONFIG &
cfg_edit()
{
    if (!reload_dry_run())
        return cfg;
    scratch_ready();
    return *scratch_cfg;
}

INDEXREGISTRY *
registry_edit(INDEXREGISTRY *running)
{
    if (!reload_dry_run())
        return running;
    scratch_ready();
    return running == server_registry ? scratch_servers : scratch_targets;
}

static void
copy_registry_entry(const IRENTRY *e, void *arg)
{
    uint16_t port_n;
    memcpy(&port_n, e->port, 2);
    ir_insert(static_cast<INDEXREGISTRY *>(arg), e->addr, port_n, e->number);
}

static void
copy_registry(INDEXREGISTRY *to, INDEXREGISTRY *from)
{
    ir_clear(to);
    ir_walk(from, copy_registry_entry, to);
    to->count = from->count;
    to->enabled = from->enabled;
}

void
cfg_scratch_begin()
{
    if (scratch_cfg == nullptr) {
        scratch_cfg = static_cast<CONFIG *>(calloc(1, sizeof(CONFIG)));
        if (scratch_cfg == nullptr) {
            log_message(0, "cannot malloc() reload scratch configuration");
            daemon_exit(EXIT_OSERR);
        }
        scratch_servers = ir_new();
        scratch_targets = ir_new();
    }
    // Assigned in place: a CONFIG temporary would not fit on a thread stack.
    *scratch_cfg = cfg;
    copy_registry(scratch_servers, server_registry);
    copy_registry(scratch_targets, target_registry);
}

void
server_init(SERVER &s)
{
    s.gslbttl = GSLBTTL_DEFAULT;
    s.sid = sid_src;
    s.snat = 0;
    s.cur_sessions = 0;
    s.sessions_created = 0;
    s.network = 0;
    s.network6 = 0;
    s.rr_pos = 0;
    s.backup_rr_pos = 0;
    pthread_mutex_init(&s.lock, nullptr);
}

void
target_defaults(TARGET &t)
{
    t.softdisabled = 0;
    t.pseudo = 0;
    t.autodisable = 0;
    t.autodisablecount = 1;
    t.screate = 0;
    t.snat = 0;
    t.dsr = 0;
    t.lgrp = 0;
    t.weight = 1;
    t.offset = 0;
    t.scale = 1.0;
    t.script = SCRIPTCHECK{};
    t.script6 = SCRIPTCHECK{};
    t.ascript = SCRIPTCHECK{};
    t.alert[0] = '\0';
    t.upalert[0] = '\0';
    t.trackval = 0;
    t.maxagent = 0;
    t.maxsessions = 0;
    t.sessiongroup = 0;
    t.maxgrpsessions = 0;
    t.sid = sid_dst;

    // Probe results: the settings of the network checks stay, their
    // counters and last answers start afresh.
    t.ping.counter = 0;
    t.ping.lastok = 0;
    t.ping6.counter = 0;
    t.ping6.lastok = 0;
    t.agent.counter = 0;
    t.agent.lastok = 0;
    t.agent6.counter = 0;
    t.agent6.lastok = 0;
    t.tcpopen.counter = 0;
    t.tcpopen.lastok = 0;
    t.tcpopen6.counter = 0;
    t.tcpopen6.lastok = 0;
    t.network = 0;
    t.network6 = 0;
    t.server = 0;
    t.sticky_interface = STICKY_NONE;
    t.operational = 0;
    t.failures = 0;
    t.ping_id = 0;
    t.ping6_id = 0;
    t.agent_value = 0;
    t.alert_pending = 0;
    t.upalert_pending = 0;
    t.status_down[0] = '\0';
    t.status_up[0] = '\0';
    t.cur_sessions = 0;
    t.packets_to = 0;
    t.bytes_to = 0;
    t.packets_from = 0;
    t.bytes_from = 0;
    for (BWSAMPLE &b : t.bw)
        b = BWSAMPLE{};
    t.bw_pos = 0;
}

void
network_defaults(NETWORK &n)
{
    n = NETWORK{};
    n.synciface = SYNCIFACE_NONE;
}

void
config_init_tables()
{
    // Record by record: a CONFIG temporary would not fit on a thread stack.
    for (INTERFACE &i : cfg.interfaces) {
        i = INTERFACE{};
        i.threads = 1;
        pthread_rwlock_init(&i.lock, nullptr);
    }
    for (NETWORK &n : cfg.networks)
        network_defaults(n);
    for (SERVER &s : cfg.servers) {
        s = SERVER{};
        server_init(s);
    }
    for (int n = 0; n <= MAXTARGET; n++) {
        TARGET &t = cfg.targets[n];
        t = TARGET{};
        target_defaults(t);
        pthread_mutex_init(&t.lock, nullptr);
        target_traffic_clear(n);
    }
    for (SERVER &s : cfg.shadow_servers)
        s = SERVER{};
    for (TARGET &t : cfg.shadow_targets)
        t = TARGET{};

    cfg.gateway = GATEWAY{};
    cfg.vrrp = VRRPCONF{};
    for (int k = 0; k < 5; k++)
        cfg.vrrp.vmac[k] = VRRP_VMAC_PREFIX[k];
    cfg.vrrp.state = VRRP_INITIALIZE;
    cfg.natoutside = NATOUTSIDE{};

    cfg.registered_interfaces = 0;
    cfg.enabled_interfaces = 0;
    cfg.registered_networks = 0;
    cfg.enabled_networks = 0;

    cfg.proxy_in_use = 0;
    for (SESSIONGROUP &g : cfg.sessiongroups)
        g.count = 0;

    registries_init();
}
