// Interface access and I/O threads: opening raw packet sockets and TAP
// devices, reading and writing whole frames with their counters, the
// select loop of the main thread and the per-interface reader threads,
// link detection, and the "show ifstat" / "show threads" listings.
//
// Raw sockets ask for PACKET_AUXDATA: a frame that the local stack (a
// veth peer, a TAP writer) sent with transmit checksum offload arrives
// with TP_STATUS_CSUMNOTREADY and a TCP/UDP checksum that only covers the
// pseudo-header. Such a frame gets its checksum finished on receipt, so
// every module sees frames whose checksums are real and can forward
// rewritten copies or answer them with incremental adjustments.
#include "packet/interface_io.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <linux/if_packet.h>
#include <linux/if_tun.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include "command/log.h"
#include "command/process.h"
#include "config/config_state.h"
#include "config/parameters.h"
#include "config/show.h"
#include "config/threads.h"
#include "packet/chain.h"
#include "packet/frame.h"
#include "packet/interface_hooks.h"
#include "packet/regular_callback.h"
#include "packet/test_wire.h"

volatile int interface_rebuild = 0;
volatile int benchmark_running = 0;
OPENLIST open_interfaces = {};
KVNTHREAD kvn_threads[MAXKVNTHREADS];
std::atomic<int> kvn_thread_count{0};
const char *sysfs_root = "";

namespace {

// Serialises the link-state reads of all link-detection threads.
pthread_mutex_t link_lock = PTHREAD_MUTEX_INITIALIZER;

// The select loop's reader buffer.
uint8_t loop_buffer[FRAMEBUF];

// Frame counters of one interface kept by one reader.
struct SLOTCOUNTS {
    std::atomic<uint64_t> recv_packets;
    std::atomic<uint64_t> recv_bytes;
    std::atomic<uint64_t> sent_packets;
    std::atomic<uint64_t> sent_bytes;
};

// One reader's counters for every slot. Only the reader writes them, with
// a plain load and store (no locked read-modify-write); the listings read
// them. Aligned so that two readers never write the same cache line.
struct alignas(64) READERCOUNTS {
    SLOTCOUNTS slot[IFSLOTS];
};

// Every reader thread the loops start, the select loop and a few test
// threads; a reader beyond these counts in the interface record instead.
constexpr int MAXREADERS = MAXKVNTHREADS + 16;
READERCOUNTS reader_counts[MAXREADERS];
std::atomic<int> readers_used{0};      // entries handed out (may pass MAXREADERS)

// This thread's entry, taken when it handles its first received frame;
// nullptr for threads that never read a frame, or when none was left.
thread_local READERCOUNTS *self_counts = nullptr;
thread_local bool self_counts_taken = false;

// What the counters of each slot stood at when they were last cleared;
// guarded by the interface lock.
IFCOUNTS counts_base[IFSLOTS];

inline void bump(std::atomic<uint64_t> &c, uint64_t v)
{
    c.store(c.load(std::memory_order_relaxed) + v, std::memory_order_relaxed);
}

READERCOUNTS *reader_counts_self()
{
    if (!self_counts_taken) {
        self_counts_taken = true;
        int k = readers_used.fetch_add(1, std::memory_order_relaxed);
        if (k < MAXREADERS)
            self_counts = &reader_counts[k];
    }
    return self_counts;
}

// The readers' counters of a slot, summed.
IFCOUNTS reader_sums(int slot)
{
    IFCOUNTS c = {};
    int n = readers_used.load(std::memory_order_relaxed);
    if (n > MAXREADERS)
        n = MAXREADERS;
    for (int k = 0; k < n; k++) {
        const SLOTCOUNTS &r = reader_counts[k].slot[slot];
        c.recv_packets += r.recv_packets.load(std::memory_order_relaxed);
        c.recv_bytes += r.recv_bytes.load(std::memory_order_relaxed);
        c.sent_packets += r.sent_packets.load(std::memory_order_relaxed);
        c.sent_bytes += r.sent_bytes.load(std::memory_order_relaxed);
    }
    return c;
}

bool dumping(const INTERFACE &i) { return i.capture != nullptr && i.dumper != nullptr; }

// Opens a raw packet socket on the named interface; the descriptor or -1.
int open_raw(INTERFACE &i)
{
    int fd = socket(AF_PACKET, SOCK_RAW, htons(ETH_P_ALL));
    if (fd < 0)
        return -1;
    struct ifreq ifr;
    memset(&ifr, 0, sizeof ifr);
    memcpy(ifr.ifr_name, i.name, strnlen(i.name, IFNAMSIZ - 1));
    if (ioctl(fd, SIOCGIFFLAGS, &ifr) < 0) {
        log_message(3, "%s: unknown interface: %s", i.name, strerror(errno));
        close(fd);
        return -1;
    }
    ifr.ifr_flags |= IFF_UP | IFF_RUNNING;
    if (ioctl(fd, SIOCSIFFLAGS, &ifr) < 0) {
        perror("SIOCSIFFLAGS");
        close(fd);
        return -1;
    }
    if (ioctl(fd, SIOCGIFINDEX, &ifr) < 0) {
        close(fd);
        return -1;
    }
    int index = ifr.ifr_ifindex;
    struct sockaddr_ll sll;
    memset(&sll, 0, sizeof sll);
    sll.sll_family = AF_PACKET;
    sll.sll_protocol = htons(ETH_P_ALL);
    sll.sll_ifindex = index;
    sll.sll_halen = 6;
    if (bind(fd, (struct sockaddr *)&sll, sizeof sll) < 0) {
        log_message(3, "error binding %s", i.name);
        close(fd);
        return -1;
    }
    struct packet_mreq mr;
    memset(&mr, 0, sizeof mr);
    mr.mr_ifindex = index;
    mr.mr_type = PACKET_MR_PROMISC;
    if (setsockopt(fd, SOL_PACKET, PACKET_ADD_MEMBERSHIP, &mr, sizeof mr) < 0) {
        log_message(3, "error %d - setsockopt for %s", errno, i.name);
        close(fd);
        return -1;
    }
    // Without auxdata an offloaded checksum cannot be told from a broken
    // one; a kernel that refuses it still gives usable frames.
    int on = 1;
    setsockopt(fd, SOL_PACKET, PACKET_AUXDATA, &on, sizeof on);
    return fd;
}

int open_tap(INTERFACE &i)
{
    int fd = open("/dev/net/tun", O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return -1;
    struct ifreq ifr;
    memset(&ifr, 0, sizeof ifr);
    ifr.ifr_flags = IFF_TAP | IFF_NO_PI;
    memcpy(ifr.ifr_name, i.name, strnlen(i.name, IFNAMSIZ - 1));
    if (ioctl(fd, TUNSETIFF, &ifr) < 0) {
        log_message(3, "error creting TAP interface %s", i.name);
        close(fd);
        return -1;
    }
    return fd;
}

// Reads the hardware address; an interface without one (a TAP device
// whose address cannot be read, a vpn slot) keeps all zeros and works
// without it, which is what an operator would want rather than a refusal.
void read_hwaddr(INTERFACE &i)
{
    memset(i.hwaddr, 0, 6);
    int s = socket(AF_INET, SOCK_STREAM, 0);
    if (s < 0)
        return;
    struct ifreq ifr;
    memset(&ifr, 0, sizeof ifr);
    memcpy(ifr.ifr_name, i.name, strnlen(i.name, 15));
    if (ioctl(s, SIOCGIFHWADDR, &ifr) == 0)
        memcpy(i.hwaddr, ifr.ifr_hwaddr.sa_data, 6);
    else
        log_message(4, "cannot read hardware address of %s", i.name);
    close(s);
}

// Reads one frame from a descriptor; for a raw socket also reports whether
// the kernel marked its checksum as not yet computed.
ssize_t read_frame(int fd, bool raw, uint8_t *buf, bool *csum_not_ready)
{
    *csum_not_ready = false;
    if (!raw)
        return read(fd, buf, FRAMEBUF - 1);
    struct iovec iov = {buf, FRAMEBUF - 1};
    union {
        struct cmsghdr align;
        char buf[CMSG_SPACE(sizeof(struct tpacket_auxdata))];
    } ctl;
    struct msghdr msg;
    memset(&msg, 0, sizeof msg);
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = ctl.buf;
    msg.msg_controllen = sizeof ctl.buf;
    ssize_t n = recvmsg(fd, &msg, 0);
    if (n < 0)
        return n;
    for (struct cmsghdr *c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level == SOL_PACKET && c->cmsg_type == PACKET_AUXDATA &&
            c->cmsg_len >= CMSG_LEN(sizeof(struct tpacket_auxdata))) {
            struct tpacket_auxdata aux;
            memcpy(&aux, CMSG_DATA(c), sizeof aux);
            *csum_not_ready = (aux.tp_status & TP_STATUS_CSUMNOTREADY) != 0;
        }
    }
    return n;
}

} // namespace

INTERFACE *interface_by_name(const char *name)
{
    int s = interface_slot_by_name(name);
    return s < 0 ? nullptr : &cfg.interfaces[s];
}

// An empty name is no name: it must not find slot 0 or an unnamed slot.
int interface_slot_by_name(const char *name)
{
    if (name == nullptr || name[0] == '\0')
        return -1;
    for (int s = 0; s < IFSLOTS; s++)
        if (strcmp(cfg.interfaces[s].name, name) == 0)
            return s;
    return -1;
}

const char *interface_name(int slot)
{
    return slot >= 0 && slot < IFSLOTS ? cfg.interfaces[slot].name : "";
}

int interface_open(int n)
{
    if (!valid_interface(n))
        return -1;
    INTERFACE &i = cfg.interfaces[n];
    int fd;
    switch (i.access) {
    case ACCESS_RAW:
        fd = open_raw(i);
        break;
    case ACCESS_TAP:
        fd = open_tap(i);
        break;
    case ACCESS_VPN:
        // No device: the slot is configured but neither polled nor read.
        fd = i.fd;
        break;
    default:
        log_message(3, "unknown access method interface %s", i.name);
        i.fd = 0;
        return -1;
    }
    if (fd < 0) {
        log_message(3, "cannot create socket for %s", i.name);
        i.fd = 0;
        return -1;
    }
    i.fd = fd;
    i.capture = nullptr;
    i.dumper = nullptr;
    i.dumpdir[0] = '\0';
    i.slot = n;
    if (i.access != ACCESS_VPN)
        read_hwaddr(i);
    interface_rebuild = 1;
    return 1;
}

void interface_close(int n)
{
    if (!valid_interface(n))
        return;
    INTERFACE &i = cfg.interfaces[n];
    if (i.fd > 0)
        close(i.fd);
    i.fd = 0;
    interface_rebuild = 1;
}

void interface_counts(int slot, IFCOUNTS *out)
{
    *out = {};
    if (slot < 0 || slot >= IFSLOTS)
        return;
    INTERFACE &i = cfg.interfaces[slot];
    // Summed under the lock, so a clear cannot come between the sum and
    // the base it is taken from.
    pthread_rwlock_rdlock(&i.lock);
    IFCOUNTS r = reader_sums(slot);
    const IFCOUNTS &b = counts_base[slot];
    out->recv_packets = i.recv_packets + r.recv_packets - b.recv_packets;
    out->recv_bytes = i.recv_bytes + r.recv_bytes - b.recv_bytes;
    out->sent_packets = i.sent_packets + r.sent_packets - b.sent_packets;
    out->sent_bytes = i.sent_bytes + r.sent_bytes - b.sent_bytes;
    pthread_rwlock_unlock(&i.lock);
}

// The readers' counters are never written by another thread: clearing
// remembers where they stand and the sums start from there.
void interface_counts_clear(int slot)
{
    if (slot < 0 || slot >= IFSLOTS)
        return;
    INTERFACE &i = cfg.interfaces[slot];
    pthread_rwlock_wrlock(&i.lock);
    counts_base[slot] = reader_sums(slot);
    i.recv_packets = i.recv_bytes = i.sent_packets = i.sent_bytes = 0;
    pthread_rwlock_unlock(&i.lock);
}

int interface_frame_in(int slot, uint8_t *buf, int len, bool csum_not_ready, KVNTHREAD *t)
{
    FRAMEINFO fi;
    frame_parse(buf, len, &fi);
    if (csum_not_ready)
        frame_finish_checksum(buf, &fi);
    INTERFACE &i = cfg.interfaces[slot];
    if (t == nullptr && dumping(i)) {
        pthread_rwlock_rdlock(&i.lock);
        if (dumping(i))
            dump_record(slot, buf, len);
        pthread_rwlock_unlock(&i.lock);
    }
    if (t != nullptr)
        bump(t->packets, 1);
    READERCOUNTS *rc = reader_counts_self();
    if (rc != nullptr) {
        bump(rc->slot[slot].recv_packets, 1);
        bump(rc->slot[slot].recv_bytes, (uint64_t)len);
    } else {
        pthread_rwlock_wrlock(&i.lock);
        i.recv_packets++;
        i.recv_bytes += (uint64_t)len;
        pthread_rwlock_unlock(&i.lock);
    }
    if (t != nullptr)
        return chain_dispatch_unlocked(slot, len, buf, &fi);
    return chain_dispatch(slot, len, buf, &fi);
}

int interface_receive(int slot, uint8_t *buf, bool *csum_not_ready)
{
    *csum_not_ready = false;
    if (!valid_interface(slot))
        return -1;
    INTERFACE &i = cfg.interfaces[slot];
    ssize_t n = read_frame(i.fd, i.access == ACCESS_RAW, buf, csum_not_ready);
    if (n < 0) {
        if (errno == EAGAIN || errno == EBADMSG)
            return -1;
        if (errno == ENETDOWN)
            log_message(3, "network is down (ENETDOWN)");
        else
            log_message(3, "Error %d on recvfrom socket", errno);
        return -1;
    }
    return (int)n;
}

void interface_send(int slot, const uint8_t *frame, int len)
{
    if (!valid_interface(slot) || len < 0)
        return;
    INTERFACE &i = cfg.interfaces[slot];
    // A slot without a device (vpn access) has descriptor 0: writing there
    // would put frames on the daemon's standard input.
    if (i.fd <= 0 && !tw_backed(slot))
        return;
    int outmtu = param_value(P_OUTMTU);
    if (outmtu != 0 && outmtu < len)
        len = outmtu;
    if (dumping(i)) {
        pthread_rwlock_wrlock(&i.lock);
        if (dumping(i))
            dump_record(slot, frame, len);
        pthread_rwlock_unlock(&i.lock);
    }
    ssize_t n = tw_backed(slot) ? tw_send(slot, frame, len) : write(i.fd, frame, (size_t)len);
    if (n < 0) {
        if (len > FRAMEMAX && errno == EMSGSIZE)
            log_message(4,
                        "WARNING: failed to write JUMBO frame of len %d to %s, please check MTU and "
                        "lro/tso interface settings (ethtool)",
                        len, i.name);
        else
            log_message(4, "WARNING: failed to write frame of len %d to %s, errno = %d", len, i.name, errno);
        return;
    }
    // A reader answering or forwarding counts on its own counters; other
    // senders share the interface record's.
    READERCOUNTS *rc = self_counts;
    if (rc != nullptr) {
        bump(rc->slot[slot].sent_packets, 1);
        bump(rc->slot[slot].sent_bytes, (uint64_t)len);
        return;
    }
    pthread_rwlock_wrlock(&i.lock);
    i.sent_packets++;
    i.sent_bytes += (uint64_t)len;
    pthread_rwlock_unlock(&i.lock);
}

void interface_send_all(const uint8_t *frame, int len)
{
    for (int s = 1; s <= MAXINTERFACE; s++)
        if (cfg.interfaces[s].enabled)
            interface_send(s, frame, len);
}

void interface_send_set(const uint8_t *frame, int len, const int32_t flags[IFSLOTS])
{
    for (int s = 1; s <= MAXINTERFACE; s++)
        if (flags[s] && cfg.interfaces[s].enabled)
            interface_send(s, frame, len);
}

void interface_send_others(int exclude, const uint8_t *frame, int len)
{
    for (int s = 1; s <= MAXINTERFACE; s++)
        if (s != exclude && cfg.interfaces[s].enabled)
            interface_send(s, frame, len);
}

// ---------------------------------------------------------------------------
// Select loop

void interface_rebuild_list()
{
    open_interfaces.count = 0;
    for (int s = 0; s < IFSLOTS; s++)
        if (cfg.interfaces[s].fd != 0)
            open_interfaces.slot[open_interfaces.count++] = s;
}

void interface_loop()
{
    interface_rebuild = 0;
    if (param_value(P_MULTITHREADING) == 1)
        interface_loop_multithreading();
    unsigned last_second = get_uptime();
    for (;;) {
        int width = 0;
        for (int s = 0; s < IFSLOTS; s++)
            if (cfg.interfaces[s].fd > width)
                width = cfg.interfaces[s].fd;
        width++;
        interface_rebuild_list();
        fd_set all;
        FD_ZERO(&all);
        // The interface locks are initialised with the tables; they are
        // not re-initialised here because a command thread may hold one
        // (show ifstat) while the loop rebuilds.
        for (int k = 0; k < open_interfaces.count; k++) {
            INTERFACE &i = cfg.interfaces[open_interfaces.slot[k]];
            // A slot on the test wire has a /dev/null descriptor that is
            // always readable; it is fed by the test, not by the loop.
            if (i.fd > 0 && i.fd < FD_SETSIZE && !tw_backed(open_interfaces.slot[k]))
                FD_SET(i.fd, &all);
        }
        while (interface_rebuild != 1) {
            fd_set ready = all;
            struct timeval tv = {1, 0};
            int r = select(width, &ready, nullptr, nullptr, &tv);
            unsigned now = get_uptime();
            if (!benchmark_running && now != last_second) {
                last_second = now;
                regular_callback();
                continue;
            }
            if (r < 0)
                continue;
            for (int k = 0; k < open_interfaces.count; k++) {
                int slot = open_interfaces.slot[k];
                int fd = cfg.interfaces[slot].fd;
                if (fd <= 0 || fd >= FD_SETSIZE || !FD_ISSET(fd, &ready))
                    continue;
                bool csum_not_ready;
                int len = interface_receive(slot, loop_buffer, &csum_not_ready);
                if (len >= 0)
                    interface_frame_in(slot, loop_buffer, len, csum_not_ready, nullptr);
            }
        }
        interface_rebuild = 0;
    }
}

// ---------------------------------------------------------------------------
// Multithreaded mode

void *interface_mt_thread(void *arg)
{
    KVNTHREAD *t = (KVNTHREAD *)arg;
    t->tid = pthread_self();
    int slot = t->slot;
    INTERFACE &i = cfg.interfaces[slot];
    // Each reader owns its buffer for the life of the process.
    static thread_local uint8_t buf[FRAMEBUF];
    log_message(6, "interface_mt_thread() no. %d (TID=%lu) started for interface %d, fd = %d, _p = %p", t->number,
                (unsigned long)t->tid, slot, i.fd, (void *)buf);
    for (;;) {
        // A disabled interface has no descriptor (0 would be standard input):
        // the reader idles until the interface is open again.
        int fd = i.fd;
        if (fd <= 0 || !i.enabled || i.access == ACCESS_VPN) {
            poll(nullptr, 0, 1000);
            continue;
        }
        // Wait at most a second, so that a reader whose interface was
        // disabled meanwhile comes back to the check above instead of
        // blocking on a closed descriptor.
        struct pollfd ready = {.fd = fd, .events = POLLIN, .revents = 0};
        if (poll(&ready, 1, 1000) <= 0 || (ready.revents & POLLIN) == 0)
            continue;
        bool csum_not_ready;
        ssize_t n = read_frame(fd, i.access == ACCESS_RAW, buf, &csum_not_ready);
        if (n == 0) {
            log_message(6, "read() returns 0 thread %d", t->number);
            continue;
        }
        if (n < 0) {
            if (errno == EAGAIN) {
                log_message(6, "unexpected EAGAIN thread %d", t->number);
                log_message(6, "unexpected EWOULDBLOCK thread %d", t->number);
            } else if (errno == EBADMSG) {
                log_message(6, "unexpected EBADMSG thread %d", t->number);
            } else {
                log_message(6, "read() error in thread %d, errno = %d", t->number, errno);
            }
            continue;
        }
        interface_frame_in(slot, buf, (int)n, csum_not_ready, t);
    }
    return nullptr;
}

void interface_loop_multithreading()
{
    for (int s = 0; s < IFSLOTS; s++) {
        INTERFACE &i = cfg.interfaces[s];
        if (i.fd == 0)
            continue;
        for (int k = 0; k < i.threads; k++) {
            if (kvn_thread_count >= MAXKVNTHREADS - 1) {
                log_message(0, "PANIC: MAXKVNTHREADS REACHED in interface_loop_multithreading()");
                daemon_exit(EXIT_UNAVAILABLE);
            }
            KVNTHREAD &t = kvn_threads[kvn_thread_count];
            t.number = kvn_thread_count + 1;
            t.slot = s;
            t.packets = 0;
            kvn_thread_count++;
            run_thread_and_detach(interface_mt_thread, &t);
        }
    }
    unsigned last_second = get_uptime();
    for (;;) {
        sleep(1);
        unsigned now = get_uptime();
        if (!benchmark_running && now != last_second) {
            last_second = now;
            regular_callback();
        }
    }
}

// ---------------------------------------------------------------------------
// Link detection

int interface_link_state(int slot)
{
    if (!valid_interface(slot))
        return 0;
    const INTERFACE &i = cfg.interfaces[slot];
    if (strlen(i.name) == 4 && strncmp(i.name, "kvn", 3) == 0)
        return i.fd != 0 ? 1 : 0;
    char shown[96], path[600];
    snprintf(shown, sizeof shown, "/sys/class/net/%.*s/carrier", (int)sizeof i.name, i.name);
    snprintf(path, sizeof path, "%s%s", sysfs_root, shown);
    FILE *f = fopen(path, "r");
    if (f == nullptr)
        return 0;
    char line[16];
    bool up = fgets(line, sizeof line, f) != nullptr && strcmp(line, "1\n") == 0;
    fclose(f);
    return up ? 1 : 0;
}

void link_detection_step(int slot)
{
    if (!valid_interface(slot))
        return;
    INTERFACE &i = cfg.interfaces[slot];
    pthread_mutex_lock(&link_lock);
    int state = interface_link_state(slot);
    pthread_mutex_unlock(&link_lock);
    if (param_value(P_DEBUGSCOPE) == 1)
        log_message(7, "link detection for interface %ld: %d", (long)slot, state);
    if (state == i.link_state)
        return;
    i.link_state = state > 0 ? 1 : 0;
    if (i.link_state) {
        log_message(6, "link detected on interface %ld (%s)", (long)slot, i.name);
        if (i.upalert[0] != '\0')
            interface_alert(slot, i.upalert);
    } else {
        log_message(6, "link lost on interface %ld (%s)", (long)slot, i.name);
        if (i.alert[0] != '\0')
            interface_alert(slot, i.alert);
    }
}

void *link_detection_thread(void *arg)
{
    int slot = (int)(intptr_t)arg;
    if (param_value(P_DEBUGSCOPE) == 1)
        log_message(7, "script thread started for interface %ld", (long)slot);
    sleep(1);
    for (;;) {
        link_detection_step(slot);
        sleep(1);
    }
    return nullptr;
}

// ---------------------------------------------------------------------------
// Listings

int show_ifstat(int, char **, FILE *out)
{
    if (open_interfaces.count > 0) {
        fputc('\n', out);
        for (int p = 0; p < open_interfaces.count; p++)
            fprintf(out, "index %d (%s)\n", p, cfg.interfaces[open_interfaces.slot[p]].name);
    }
    fputc('\n', out);
    for (int s = 0; s < IFSLOTS; s++) {
        INTERFACE &i = cfg.interfaces[s];
        if (i.fd <= 0)
            continue;
        IFCOUNTS c;
        interface_counts(s, &c);
        pthread_rwlock_rdlock(&i.lock);
        uint64_t db = i.dumped_bytes;
        pthread_rwlock_unlock(&i.lock);
        fprintf(out, "interface %d (%s)\n", s, i.name);
        fprintf(out, "  link detection: %s\n", i.link_state == 1 ? "TRUE" : "FALSE");
        fprintf(out, "  address:\n    %02x:%02x:%02x:%02x:%02x:%02x\n", i.hwaddr[0], i.hwaddr[1], i.hwaddr[2],
                i.hwaddr[3], i.hwaddr[4], i.hwaddr[5]);
        fprintf(out, "  received:\n    packets %llu\n    bytes   %llu\n", (unsigned long long)c.recv_packets,
                (unsigned long long)c.recv_bytes);
        fprintf(out, "  sent:\n    packets %llu\n    bytes   %llu\n", (unsigned long long)c.sent_packets,
                (unsigned long long)c.sent_bytes);
        fprintf(out, "  dumped:\n    bytes   %llu\n", (unsigned long long)db);
        struct tpacket_stats st;
        socklen_t sl = sizeof st;
        if (!tw_backed(s) && getsockopt(i.fd, SOL_PACKET, PACKET_STATISTICS, &st, &sl) == 0)
            fprintf(out, "  packet_statistics:\n    tp_packets %u\n    tp_drops %u\n", st.tp_packets, st.tp_drops);
        fputc('\n', out);
    }
    return 1;
}

int show_threads(int, char **, FILE *out)
{
    for (int k = 0; k < kvn_thread_count; k++) {
        KVNTHREAD &t = kvn_threads[k];
        uint64_t packets = t.packets.load(std::memory_order_relaxed);
        INTERFACE &i = cfg.interfaces[t.slot];
        IFCOUNTS c;
        interface_counts(t.slot, &c);
        uint64_t received = c.recv_packets;
        // A thread whose interface received nothing yet shows 0.0 instead
        // of dividing by zero.
        double pct = received != 0 ? 100.0 * (double)packets / (double)received : 0.0;
        fprintf(out, " thread no %d\n", t.number);
        fprintf(out, "   interface %d (%s)\n", t.slot, i.name);
        fprintf(out, "   packets processed %llu (%.1f%s)\n", (unsigned long long)packets, pct, "%");
    }
    return 1;
}

// ---------------------------------------------------------------------------
// Alerts

void interface_alert(int slot, const char *text)
{
    if (!valid_interface(slot))
        return;
    char cmd[CMDLEN + IFNAMELEN * 8];
    size_t o = 0;
    const char *name = cfg.interfaces[slot].name;
    for (const char *p = text; *p != '\0' && o + 1 < sizeof cmd;) {
        if (strncmp(p, "$name$", 6) == 0) {
            for (const char *q = name; *q != '\0' && o + 1 < sizeof cmd; q++)
                cmd[o++] = *q;
            p += 6;
        } else {
            cmd[o++] = *p++;
        }
    }
    cmd[o] = '\0';
    run_alert_command(cmd);
}
