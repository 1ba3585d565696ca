// Records of the configuration model: the numbered interfaces, networks,
// servers and targets, the gateway and the VRRP settings, with the
// capacities of their tables and the codes their 32-bit settings take.
//
// These are plain aggregates with no operations (beyond the range tests
// of object numbers). Tables are indexed by the
// object number; index 0 exists but is never used, so every table has
// capacity + 1 slots and every loop runs from 1 to the capacity. Records
// refer to each other by number only. The global state that holds the
// tables is CONFIG in config/config_state.h.
//
// Conventions shared by all records:
// - flags are 32-bit words, 0 or 1, read by the packet threads without a
//   lock; a flag is set only after the state it guards is ready and cleared
//   before that state is torn down;
// - IPv4 addresses are 4 bytes and IPv6 addresses 16 bytes, both in wire
//   order; all zeros means "not set";
// - text fields are NUL-terminated fixed arrays, one byte longer than the
//   longest accepted text;
// - times are uptime seconds (get_uptime()), 0 meaning "never".
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <pthread.h>

// libpcap's handle types (pcap_t and pcap_dumper_t are typedefs of these),
// declared here so that the records do not pull in <pcap.h>.
struct pcap;
struct pcap_dumper;

// ---------------------------------------------------------------------------
// Capacities

constexpr int MAXINTERFACE = 29;     // interfaces 1..29
constexpr int IFSLOTS = MAXINTERFACE + 1; // interface slots 0..29 (member sets, send sets)
constexpr int MAXNETWORK = 10;       // networks 1..10
constexpr int MAXSERVER = 1024;      // servers 1..1024
constexpr int MAXTARGET = 2048;      // targets 1..2048
constexpr int MAXSRVTARGETS = 64;    // entries of a server's target list and of its backup list
constexpr int MAXSESSIONGROUP = 100; // session groups 0..100
constexpr int BWSLOTS = 10;          // bandwidth history slots per target

// Range tests of object numbers: whether n names a slot of its table.
inline bool valid_interface(int n) { return n >= 1 && n <= MAXINTERFACE; }
inline bool valid_network(int n) { return n >= 1 && n <= MAXNETWORK; }
inline bool valid_server(int n) { return n >= 1 && n <= MAXSERVER; }
inline bool valid_target(int n) { return n >= 1 && n <= MAXTARGET; }

// Text field sizes (longest text + the terminating NUL).
constexpr int NAMELEN = 64;          // server, target and network names: 63 characters
constexpr int IFNAMELEN = 32;        // interface device names: 31 characters
constexpr int CMDLEN = 160;          // every command text (scripts, alerts, init, plugin): 159 characters
constexpr int SCRIPTSPECMAX = 150;   // longest accepted script specification word (command, interval, timeout)
constexpr int DUMPDIRLEN = 512;      // traffic dump directory: 511 characters
constexpr int STATUSLEN = 256;       // target status text ("arp:up,ping:down,agent:17,..."), longest is ~150
constexpr int SIDBUFLEN = 128;       // output buffer a caller hands to a session identifier handler;
                                     // an IPv6 "a-b" key needs up to 79 characters

// ---------------------------------------------------------------------------
// Codes of the 32-bit settings. Records store them as int32_t; the
// enumerators name the stored values.

// Transport protocol filter of servers and targets.
enum PROTOCOL : int32_t {
    PROTO_ANY = 0,
    PROTO_TCP = 1,
    PROTO_UDP = 2,
    PROTO_SCTP = 3,
};

// Target selection method of a server. The codes are fixed by the saved
// configuration and the SNMP tree, and are not in keyword order; see
// method_keywords for the order in which `method` values are matched.
enum METHOD : int32_t {
    METHOD_RR = 0,
    METHOD_HASH = 1,
    METHOD_RANDOM = 2,
    METHOD_AGENT = 3,
    METHOD_SESSION = 4,
    METHOD_BWIN = 5,
    METHOD_BWOUT = 6,
    METHOD_BW = 7,
    METHOD_RNDAGENT = 8,
};
constexpr int METHOD_COUNT = 9;

// A keyword accepted by a command and the code it stores.
struct KEYWORD_CODE {
    const char *name;
    int32_t code;
};

// `server <n> method <m>` keywords in matching order: a typed prefix picks
// the first row it matches, so "r" is rr and "bw" is bw (not bwin).
inline constexpr KEYWORD_CODE method_keywords[] = {
    {"rr", METHOD_RR},
    {"default", METHOD_RR},
    {"hash", METHOD_HASH},
    {"random", METHOD_RANDOM},
    {"agent", METHOD_AGENT},
    {"rndagent", METHOD_RNDAGENT},
    {"session", METHOD_SESSION},
    {"bw", METHOD_BW},
    {"bwin", METHOD_BWIN},
    {"bwout", METHOD_BWOUT},
};

// Method names indexed by code, as written by the configuration writer
// and shown by "show server".
inline constexpr const char *method_names[METHOD_COUNT] = {
    "rr", "hash", "random", "agent", "session", "bwin", "bwout", "bw", "rndagent",
};

// GSLB mode of a server. `enable` makes the server a DNS-only name: it
// occupies no registry key and gets no ARP entry.
enum GSLBMODE : int32_t {
    GSLB_DISABLE = 0,
    GSLB_DISPATCH = 1,
    GSLB_ENABLE = 2,
};
constexpr int32_t GSLBTTL_DEFAULT = 600;

// Failover mode of a server: `backup` sends a frame to the backup list as
// soon as the round-robin entry under the cursor is unusable.
enum FAILOVER : int32_t {
    FAILOVER_NORMAL = 0,
    FAILOVER_BACKUP = 1,
};

// Server session timeout value meaning "keep no sessions" (`stimeout null`).
constexpr int32_t STIMEOUT_NULL = -1;

// NAT role of a network.
enum NATMODE : int32_t {
    NAT_NONE = 0,
    NAT_INSIDE = 1,
    NAT_OUTSIDE = 2,
};

// How an interface's frames are read and written.
enum IFACCESS : int32_t {
    ACCESS_RAW = 0, // AF_PACKET socket, promiscuous
    ACCESS_TAP = 1, // /dev/net/tun TAP device without packet-information header
    ACCESS_VPN = 2, // no device is opened
};

// VRRP node state.
enum VRRPSTATE : int32_t {
    VRRP_INITIALIZE = 0,
    VRRP_MASTER = 1,
    VRRP_BACKUP = 2,
};

// Health checks of a target, in the order in which the evaluation tests
// them and the status text lists them.
enum PROBEKIND : int32_t {
    PROBE_PING = 0,
    PROBE_PING6 = 1,
    PROBE_TCPOPEN = 2,
    PROBE_TCPOPEN6 = 3,
    PROBE_AGENT = 4,
    PROBE_AGENT6 = 5,
    PROBE_ASCRIPT = 6,
    PROBE_SCRIPT = 7,
    PROBE_SCRIPT6 = 8,
};
constexpr int PROBEKIND_COUNT = 9;

// Special values of number fields.
constexpr int32_t SYNCIFACE_NONE = -1;     // network has no sync interface
constexpr int32_t STICKY_NONE = -1;        // target MAC not yet stuck to an interface
constexpr int32_t SERVERREF_SEVERAL = -1;  // target listed by more than one server
constexpr int32_t RRPOS_UNSET = -1;        // round-robin cursor of an empty list

// Fixed VRRP addresses; the last byte of the virtual MAC is the vrid.
inline constexpr uint8_t VRRP_MCAST_ADDR[4] = {224, 0, 0, 18};
inline constexpr uint8_t VRRP_MCAST_MAC[6] = {0x01, 0x00, 0x5e, 0x00, 0x00, 0x12};
inline constexpr uint8_t VRRP_VMAC_PREFIX[5] = {0x00, 0x00, 0x5e, 0x00, 0x01};

// Session identifier handler: builds the text key of a frame's session
// into `out` (at least SIDBUFLEN bytes) and returns `out`, or returns
// nullptr when the frame yields no identifier. One per server (default
// "src") and one per target (default "dst"); the handlers and their name
// table belong to the session identifier module.
using SIDHANDLER = char *(*)(const uint8_t *frame, int len, char *out);

// ---------------------------------------------------------------------------
// Interface

struct INTERFACE {
    int32_t registered;            // lifecycle: registered
    int32_t enabled;               // lifecycle: enabled (device open, counted)
    int32_t slot;                  // own slot number, stored when the device is opened
    int32_t fd;                    // open descriptor; 0 = not open (0 is never a valid descriptor here)
    int32_t trackval;              // 0..254, subtracted from the VRRP priority while the link is down
    int32_t threads;               // reading threads in multithreaded mode, 1..8 (default 1)
    int32_t access;                // IFACCESS
    pthread_rwlock_t lock;         // guards the counters and the capture state below
    char name[IFNAMELEN];          // operating-system device name, no ':'
    char init[CMDLEN];             // command run when the interface is enabled; empty = none
    char alert[CMDLEN];            // command run when the link is lost ("$name$" placeholder)
    char upalert[CMDLEN];          // command run when the link is detected
    pcap *capture;                 // dead pcap handle of an active traffic dump, or nullptr
    pcap_dumper *dumper;           // pcap dump writer; dumping is active when both are set
    char dumpdir[DUMPDIRLEN];      // directory of the traffic dump; empty = none
    uint64_t dumped_bytes;         // bytes written into the current capture file
    // The four counters below hold only the frames of threads that are not
    // readers (commands, probes); each reader thread counts on counters of
    // its own, and interface_counts() (packet/interface_io.h) sums both.
    uint64_t sent_packets;         // frames written
    uint64_t sent_bytes;           // bytes written (after the outmtu cut)
    uint64_t recv_packets;         // frames read
    uint64_t recv_bytes;           // bytes read
    uint8_t hwaddr[6];             // hardware address, read from the system at open
    // The two fields below survive `purge interface`: the link-detection
    // thread of a slot is started once and keeps running and reporting
    // link changes for whatever interface later occupies the slot. Keep
    // them last so a purge can clear everything before io_started.
    int32_t io_started;            // link-detection thread of this slot started
    int32_t link_state;            // last link state seen by link detection, 0 down / 1 up
};

// ---------------------------------------------------------------------------
// Network

struct NETWORK {
    int32_t registered;            // lifecycle: registered
    int32_t enabled;               // lifecycle: enabled (validated, addresses announced)
    char name[NAMELEN];            // free text; empty = none
    uint8_t addr[4];               // IPv4 network address
    uint8_t mask[4];               // IPv4 netmask
    uint8_t real[4];               // this node's own IPv4 address in the network (node-specific)
    uint8_t realmac[6];            // MAC of real: 06:00 + the four address bytes (set on enable)
    uint8_t virt[4];               // IPv4 address shared by the VRRP pair
    uint8_t virtmac[6];            // MAC of virt: 06:00 + virt, or the VRRP virtual MAC (set on enable)
    int32_t mask6;                 // IPv6 prefix length 0..128; 0 = no IPv6 in this network
    uint8_t real6[16];             // this node's own IPv6 address (node-specific)
    uint8_t virt6[16];             // IPv6 address shared by the VRRP pair
    int32_t nat;                   // NATMODE
    int32_t member[IFSLOTS];       // member interfaces: member[i] = 1 when interface i carries this network
    int32_t synciface;             // interface carrying session synchronisation; SYNCIFACE_NONE = none
};

// ---------------------------------------------------------------------------
// Server (virtual service)

struct SERVER {
    int32_t registered;            // lifecycle: registered (registry keys inserted)
    int32_t enabled;               // lifecycle: enabled (address announced, balancing)
    char name[NAMELEN];            // free text; the FQDN in GSLB mode
    int32_t gslb;                  // GSLBMODE
    int32_t gslbttl;               // DNS TTL of GSLB answers, 10..86400 (default 600)
    uint8_t ipaddr[4];             // IPv4 address; 255.255.255.255 = `any` (link load balancing)
    uint8_t ipaddr6[16];           // IPv6 address
    uint16_t port;                 // port, network byte order; 0 = any port
    uint16_t port2;                // second port, network byte order; 0 = none
    int32_t protocol;              // PROTOCOL
    SIDHANDLER sid;                // session identifier handler (default "src")
    int32_t portrel;               // port relevance flag
    int32_t proxy;                 // proxy flag: client address translated towards the target
    int32_t snat;                  // source NAT flag
    int32_t ipdb;                  // location database use flag
    char plugin[CMDLEN];           // plugin command line; empty = none
    int32_t method;                // METHOD
    int32_t stimeout;              // session timeout s: 0 = parameter default, STIMEOUT_NULL, 10..172800
    int32_t ftimeout;              // timeout after TCP FIN/RST s: 0 = off, 5..172800
    int32_t failover;              // FAILOVER
    int32_t targets[MAXSRVTARGETS];  // target list, target numbers in configured order, repeats allowed
    int32_t ntargets;              // entries used in targets
    int32_t backups[MAXSRVTARGETS];  // backup list, target numbers
    int32_t nbackups;              // entries used in backups

    // Run-time state, not part of the saved configuration.
    int32_t network;               // IPv4 network the server is bound to (enable, configuration check); 0 = none
    int32_t network6;              // IPv6 network the server is bound to (enable); 0 = none
    int32_t rr_pos;                // round-robin cursor into targets; RRPOS_UNSET when the list is empty
    int32_t backup_rr_pos;         // round-robin cursor into backups; RRPOS_UNSET when empty
    int32_t cur_sessions;          // live sessions of this server, under lock, never below 0
    uint32_t sessions_created;     // sessions created by the packet path since start, under lock
    int32_t plugin_pid;            // process id of the running plugin; 0 = none runs
    FILE *plugin_in;               // write stream into the plugin's standard input, or nullptr
    FILE *plugin_out;              // read stream from the plugin's standard output, or nullptr
    pthread_mutex_t lock;          // guards cur_sessions and sessions_created; taken after the session table lock
};

// ---------------------------------------------------------------------------
// Target (real server)

// One network health check (ping, agent, tcpopen) over IPv4 ...
struct PROBE4 {
    uint8_t addr[4];               // probe address; 0.0.0.0 = probe the target's own address
    int32_t port;                  // agent / tcpopen port 1..65535, host order; unused by ping
    int32_t interval;              // seconds between probes; 0 = check off
    int32_t timeout;               // seconds without a good answer before the check fails
    int32_t counter;               // seconds counted towards the next probe
    uint32_t lastok;               // uptime of the last good answer; 0 = never
};

// ... and over IPv6 (ping6, agent6, tcpopen6).
struct PROBE6 {
    uint8_t addr[16];              // probe address; all zeros = the target's own IPv6 address
    int32_t port;                  // agent6 / tcpopen6 port 1..65535, host order; unused by ping6
    int32_t interval;              // seconds between probes; 0 = check off
    int32_t timeout;               // seconds without a good answer before the check fails
    int32_t counter;               // seconds counted towards the next probe
    uint32_t lastok;               // uptime of the last good answer; 0 = never
};

// A script check (script, script6, ascript), run by its own thread.
struct SCRIPTCHECK {
    char cmd[CMDLEN];              // command text with placeholders; empty = check off
    int32_t interval;              // seconds between runs, at least 1 when set
    int32_t timeout;               // seconds without success before the check fails, at least 2
    uint32_t lastok;               // uptime of the last successful run; 0 = failed / never
};

// One bandwidth history sample.
struct BWSAMPLE {
    uint32_t time;                 // uptime of the sample; 0 = empty slot
    uint64_t bytes_to;             // towards-target byte counter at that time
    uint64_t bytes_from;           // from-target byte counter at that time
};

struct TARGET {
    int32_t registered;            // lifecycle: registered (registry keys inserted)
    int32_t enabled;               // lifecycle: enabled (probed, selectable)
    int32_t softdisabled;          // enabled, but given no new sessions
    int32_t probes_started;        // per-target threads started (first enable); survives purge
    char name[NAMELEN];            // free text; empty = none
    uint8_t ipaddr[4];             // IPv4 address
    uint8_t ipaddr6[16];           // IPv6 address
    uint8_t router[4];             // IPv4 next hop through which the target is reached; 0 = direct
    uint16_t port;                 // port, network byte order; 0 = no port translation
    int32_t protocol;              // PROTOCOL
    char lgrp;                     // location group 'A'..'Z'; 0 = none
    PROBE4 ping;                   // ICMP echo check
    PROBE6 ping6;                  // ICMPv6 echo check
    PROBE4 agent;                  // load agent check (excludes agent6 and ascript)
    PROBE6 agent6;                 // load agent check over IPv6 (excludes agent and ascript)
    PROBE4 tcpopen;                // TCP connect check
    PROBE6 tcpopen6;               // TCP connect check over IPv6
    SCRIPTCHECK script;            // external check script
    SCRIPTCHECK script6;           // external check script for the IPv6 side
    SCRIPTCHECK ascript;           // agent script: its output is the agent value (excludes agent)
    int32_t weight;                // 1..100 (default 1), random method
    int32_t offset;                // 0 or more, added to the load value
    double scale;                  // 0.0 or more (default 1.0), multiplies the load value (used rounded)
    int32_t maxagent;              // 0..1000000, 0 = no limit on the agent value
    int32_t maxsessions;           // 0..1000000, 0 = no limit on cur_sessions
    int32_t maxgrpsessions;        // 0..1000000, 0 = no limit on the session group's sessions
    int32_t sessiongroup;          // session group 0..100
    int32_t trackval;              // 0..254, subtracted from the VRRP priority while down
    SIDHANDLER sid;                // session identifier handler for replies (default "dst")
    int32_t snat;                  // reverse SNAT flag
    int32_t screate;               // connections opened by the target create sessions
    int32_t dsr;                   // direct server return: only the destination MAC is rewritten
    int32_t pseudo;                // pseudo target: probed from the network's virt address, not balanced
    int32_t autodisable;           // disable the target when it goes down autodisablecount times
    int32_t autodisablecount;      // 1..10000 (default 1)
    char alert[CMDLEN];            // command run when the target goes down; empty = none
    char upalert[CMDLEN];          // command run when the target becomes operational

    // Run-time state, not part of the saved configuration.
    int32_t network;               // IPv4 network of the target (or of its router), set by the check; 0 = none
    int32_t network6;              // IPv6 network of the target, set by the check; 0 = none
    int32_t server;                // referencing server: 0 none, a server number, SERVERREF_SEVERAL
    int32_t sticky_interface;      // interface its MAC is stuck to; STICKY_NONE = none yet
    int32_t operational;           // result of the last evaluation: 1 usable, 0 down
    int32_t failures;              // transitions to down counted towards autodisablecount
    uint32_t ping_id;              // running ICMP echo identifier, 0..65534
    uint32_t ping6_id;             // running ICMPv6 echo identifier, 0..65534
    uint32_t agent_value;          // last load value from the agent, agent6 or ascript check
    int32_t alert_pending;         // went down; the alert thread runs `alert`
    int32_t upalert_pending;       // came up; the alert thread runs `upalert`
    char status_down[STATUSLEN];   // status text recorded when the target went down ($status$ of alert)
    char status_up[STATUSLEN];     // status text recorded when it came up ($status$ of upalert)
    int32_t cur_sessions;          // live sessions on this target, under lock, never below 0
    uint64_t packets_to;           // frames forwarded towards the target, under lock
    uint64_t bytes_to;             // bytes forwarded towards the target, under lock
    uint64_t packets_from;         // frames received from the target, under lock
    uint64_t bytes_from;           // bytes received from the target, under lock
    BWSAMPLE bw[BWSLOTS];          // bandwidth history, written once a second, under lock
    int32_t bw_pos;                // next slot of bw to write (also the oldest sample)
    pthread_mutex_t lock;          // guards the counters, the history and the script results;
                                   // taken after the session table lock
};

// ---------------------------------------------------------------------------
// Gateway (one, global)

// A gateway check pair: `gateway ping <interval>,<timeout>`.
struct GWCHECK {
    int32_t interval;              // seconds between probes; 0 = check off
    int32_t timeout;               // seconds without a good answer before the gateway is down
    int32_t counter;               // seconds counted towards the next probe
    uint32_t lastok;               // uptime of the last good answer; 0 = never
};

struct GATEWAY {
    uint8_t ipaddr[4];             // IPv4 gateway address
    uint8_t ipaddr6[16];           // IPv6 gateway address
    GWCHECK arp;                   // ARP request check
    GWCHECK nd6;                   // neighbour solicitation check
    GWCHECK ping;                  // ICMP echo check
    GWCHECK ping6;                 // ICMPv6 echo check
    int32_t trackval;              // 0..254, subtracted from the VRRP priority while down
    char alert[CMDLEN];            // command run when the gateway goes down
    char upalert[CMDLEN];          // command run when it becomes operational
    int32_t configured;            // a gateway is declared
    int32_t active4;               // the IPv4 gateway is set and reachable
    int32_t active6;               // the IPv6 gateway is set and reachable
    int32_t state;                 // last evaluation: 0 down, 1 operational
    uint32_t ping_id;              // running ICMP identifier of gateway pings
};

// ---------------------------------------------------------------------------
// VRRP settings and state (global)

struct VRRPCONF {
    int32_t vrid;                  // virtual router id 1..255; 0 = not set
    int32_t priority;              // 1..255 (255 = always master); 0 = not set; node-specific
    int32_t network;               // network carrying VRRP 1..10; 0 = not set
    int32_t tracking;              // lower the advertised priority by failed trackvals
    char mscript[CMDLEN];          // command run on becoming master; empty = none
    char bscript[CMDLEN];          // command run on becoming backup; empty = none
    uint8_t vmac[6];               // virtual MAC 00:00:5e:00:01:<vrid>, last byte follows vrid
    int32_t state;                 // VRRPSTATE
    uint32_t last_advert;          // uptime of the last accepted master advertisement; 0 forces takeover
};

// ---------------------------------------------------------------------------
// Holder of the one enabled `nat outside` network: its virt addresses are
// the outside address of every translation.

struct NATOUTSIDE {
    int32_t network;               // the holding network; 0 = none
    uint8_t virt[4];               // its IPv4 virt address
    uint8_t virt6[16];             // its IPv6 virt6 address
};

// ---------------------------------------------------------------------------
// Session group: the registered targets sharing a `sessiongroup` number,
// rebuilt from scratch by the configuration check.

struct SESSIONGROUP {
    int32_t count;                 // entries used in members
    int32_t members[MAXTARGET + 1]; // target numbers
};
