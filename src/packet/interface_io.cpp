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
// rewritten copies or answer them with incremental adjustments. The same
// auxiliary data carries the VLAN tag the kernel took off a tagged frame;
// it is put back, so the chain sees (and answers, and switches) the frame
// as it was on the wire.
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

#include "command/interpreter.h"

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

std::atomic<int> interface_rebuild{0};
volatile int benchmark_running = 0;
OPENLIST open_interfaces = {};
KVNTHREAD kvn_threads[MAXKVNTHREADS];
std::atomic<int> kvn_thread_count{0};
const char *sysfs_root = "";

namespace {

// Serialises the link-state reads of all link-detection threads.
pthread_mutex_t link_lock = PTHREAD_MUTEX_INITIALIZER;

// What the I/O layer keeps per slot beside the interface record.
struct IFIO {
    int number;                    // descriptor number the slot keeps once opened (see interface_close); 0 = none yet
    std::atomic<int> ifindex;      // device index the raw socket is bound to; 0 = none (TAP, vpn, closed)
    std::atomic<int> warned_long;  // the too-long frame warning was given since the last open
    int readers;                   // reader threads started for the slot; guarded by reader_lock
};
IFIO ifio[IFSLOTS];

// Guards open_interfaces against the listings; the select loop, its only
// writer, reads it without.
pthread_mutex_t open_list_lock = PTHREAD_MUTEX_INITIALIZER;

// Guards the thread table's filling, IFIO.readers and readers_on.
pthread_mutex_t reader_lock = PTHREAD_MUTEX_INITIALIZER;
bool readers_on = false;           // the multithreaded loop runs: opened interfaces get readers

// A descriptor that never becomes readable and refuses every write (an
// unconnected datagram socket): what a closed slot's number refers to.
// Made on the first close; -1 if it cannot be had.
int inert_fd = -1;

// Frames dropped by threads that have no counters of their own; guarded
// by the interface lock.
uint64_t shared_dropped[IFSLOTS];

// The select loop's reader buffer.
uint8_t loop_buffer[FRAMEBUF];

// Frame counters of one interface kept by one reader.
struct SLOTCOUNTS {
    std::atomic<uint64_t> recv_packets;
    std::atomic<uint64_t> recv_bytes;
    std::atomic<uint64_t> sent_packets;
    std::atomic<uint64_t> sent_bytes;
    std::atomic<uint64_t> dropped;
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
        c.dropped += r.dropped.load(std::memory_order_relaxed);
    }
    return c;
}

// Counts a frame read from a slot on the reader's own counters (the
// interface record's for a thread without any), and as dropped before
// the chain when `dropped`.
void count_received(int slot, int len, bool dropped, KVNTHREAD *t)
{
    if (t != nullptr)
        bump(t->packets, 1);
    READERCOUNTS *rc = reader_counts_self();
    if (rc != nullptr) {
        bump(rc->slot[slot].recv_packets, 1);
        bump(rc->slot[slot].recv_bytes, (uint64_t)len);
        if (dropped)
            bump(rc->slot[slot].dropped, 1);
        return;
    }
    INTERFACE &i = cfg.interfaces[slot];
    pthread_rwlock_wrlock(&i.lock);
    i.recv_packets++;
    i.recv_bytes += (uint64_t)len;
    if (dropped)
        shared_dropped[slot]++;
    pthread_rwlock_unlock(&i.lock);
}

inline int32_t load_acquire(const int32_t &v)
{
    return std::atomic_ref<int32_t>(const_cast<int32_t &>(v)).load(std::memory_order_acquire);
}
inline void store_release(int32_t &v, int32_t x)
{
    std::atomic_ref<int32_t>(v).store(x, std::memory_order_release);
}

bool dumping(const INTERFACE &i) { return i.capture != nullptr && i.dumper != nullptr; }

// Opens a raw packet socket on the named interface; the descriptor or -1,
// and the index of the device it is bound to in *index.
int open_raw(INTERFACE &i, int *index_out)
{
    int fd = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, htons(ETH_P_ALL));
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
    *index_out = index;
    return fd;
}

int open_tap(INTERFACE &i)
{
    // Non-blocking: several readers wait for one descriptor, and the one
    // that finds the frame taken by another must not block in read().
    int fd = open("/dev/net/tun", O_RDWR | O_CLOEXEC | O_NONBLOCK);
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
    uint8_t mac[6] = {};
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s >= 0) {
        struct ifreq ifr;
        memset(&ifr, 0, sizeof ifr);
        memcpy(ifr.ifr_name, i.name, strnlen(i.name, 15));
        if (ioctl(s, SIOCGIFHWADDR, &ifr) == 0)
            memcpy(mac, ifr.ifr_hwaddr.sa_data, 6);
        else
            log_message(4, "cannot read hardware address of %s", i.name);
        close(s);
    }
    // The packet path compares source MACs with it: stored only when the
    // device's address is new (a device created again has another one).
    if (!mac_equal(mac, i.hwaddr))
        memcpy(i.hwaddr, mac, 6);
}

// read_frame results besides a length.
constexpr ssize_t RX_NONE = -1;      // nothing read; errno tells why
constexpr ssize_t RX_TOOLONG = -2;   // a frame longer than the buffer takes; *len_out is its length

// The most a raw read takes: the buffer's FRAMEBUF - 1 bytes less room
// for a VLAN tag that the kernel took off and the reader puts back.
constexpr int RAW_READ = FRAMEBUF - 1 - VLAN_TAGLEN;

// Reads one frame from a descriptor without waiting. For a raw socket it
// also reports whether the kernel marked the checksum as not yet
// computed, and restores a VLAN tag the kernel moved into the auxiliary
// data. The frame's length, RX_NONE, or RX_TOOLONG when the frame did not
// fit: the read would only have held its beginning.
ssize_t read_frame(int fd, bool raw, uint8_t *buf, bool *csum_not_ready, int *len_out)
{
    *csum_not_ready = false;
    if (!raw) {
        // A TAP read of a longer frame reports the frame's whole length
        // or fills the buffer; asking for the whole buffer tells a frame
        // of FRAMEBUF - 1 bytes from a longer one either way.
        ssize_t n = read(fd, buf, FRAMEBUF);
        if (n > FRAMEBUF - 1) {
            *len_out = (int)n;
            return RX_TOOLONG;
        }
        return n;
    }
    struct iovec iov = {buf, RAW_READ};
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
    // MSG_TRUNC: the result is the frame's real length, not what fitted.
    ssize_t n = recvmsg(fd, &msg, MSG_DONTWAIT | MSG_TRUNC);
    if (n < 0)
        return RX_NONE;
    if (n > RAW_READ || (msg.msg_flags & MSG_TRUNC) != 0) {
        *len_out = (int)n;
        return RX_TOOLONG;
    }
    for (struct cmsghdr *c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level == SOL_PACKET && c->cmsg_type == PACKET_AUXDATA &&
            c->cmsg_len >= CMSG_LEN(sizeof(struct tpacket_auxdata))) {
            struct tpacket_auxdata aux;
            memcpy(&aux, CMSG_DATA(c), sizeof aux);
            *csum_not_ready = (aux.tp_status & TP_STATUS_CSUMNOTREADY) != 0;
            if ((aux.tp_status & TP_STATUS_VLAN_VALID) != 0) {
                uint16_t tpid = (aux.tp_status & TP_STATUS_VLAN_TPID_VALID) != 0 ? aux.tp_vlan_tpid : ETHTYPE_VLAN;
                n = frame_insert_vlan(buf, (int)n, tpid, aux.tp_vlan_tci);
            }
        }
    }
    return n;
}

// A frame too long for the buffer: counted as received and dropped, and
// the operator told once per opening of the interface, since it means an
// MTU or a receive offload larger than the daemon reads.
void drop_too_long(int slot, int len, KVNTHREAD *t)
{
    count_received(slot, len, true, t);
    if (ifio[slot].warned_long.exchange(1, std::memory_order_relaxed) == 0)
        log_message(4,
                    "WARNING: dropped frame of len %d on %s, longer than %d bytes, please check MTU and lro/gro "
                    "interface settings (ethtool)",
                    len, cfg.interfaces[slot].name, FRAMEBUF - 1);
}

// Puts `fd` at the slot's own descriptor number (taking fd's number when
// the slot has none yet); the number the interface uses from now on.
int keep_number(int slot, int fd)
{
    IFIO &io = ifio[slot];
    if (io.number <= 0) {
        io.number = fd;
        return fd;
    }
    if (dup3(fd, io.number, O_CLOEXEC) < 0) {
        // Cannot happen with two valid descriptors; the new number then
        // becomes the slot's.
        log_message(3, "cannot move descriptor of %s: %s", cfg.interfaces[slot].name, strerror(errno));
        io.number = fd;
        return fd;
    }
    close(fd);
    return io.number;
}

// Makes the slot's descriptor number refer to the inert socket.
void park_number(int slot)
{
    IFIO &io = ifio[slot];
    if (inert_fd < 0)
        inert_fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (inert_fd >= 0 && dup3(inert_fd, io.number, O_CLOEXEC) >= 0)
        return;
    // Without an inert socket the number is released after all.
    close(io.number);
    io.number = 0;
}

// Starts reader threads for a slot until it has `threads` of them; the
// caller holds reader_lock.
void start_readers_locked(int s)
{
    INTERFACE &i = cfg.interfaces[s];
    while (ifio[s].readers < i.threads) {
        int k = kvn_thread_count.load(std::memory_order_relaxed);
        if (k >= MAXKVNTHREADS - 1) {
            log_message(0, "PANIC: MAXKVNTHREADS REACHED in interface_loop_multithreading()");
            daemon_exit(EXIT_UNAVAILABLE);
        }
        KVNTHREAD &t = kvn_threads[k];
        t.number = k + 1;
        t.slot = s;
        t.packets = 0;
        kvn_thread_count.store(k + 1, std::memory_order_release);
        ifio[s].readers++;
        run_thread_and_detach(interface_mt_thread, &t);
    }
}

// The device index in /sys/class/net/<name>/ifindex, 0 when there is none.
int sysfs_ifindex(const INTERFACE &i)
{
    char path[600];
    snprintf(path, sizeof path, "%s/sys/class/net/%.*s/ifindex", sysfs_root, (int)sizeof i.name, i.name);
    FILE *f = fopen(path, "r");
    if (f == nullptr)
        return 0;
    int index = 0;
    if (fscanf(f, "%d", &index) != 1)
        index = 0;
    fclose(f);
    return index;
}

// Opens an enabled raw interface again when its device now has another
// index than the one its socket is bound to (see link_detection_step).
void follow_device(int slot, int index)
{
    IFIO &io = ifio[slot];
    if (index <= 0 || index == io.ifindex.load(std::memory_order_relaxed))
        return;
    CommandLockGuard guard;
    INTERFACE &i = cfg.interfaces[slot];
    if (!i.enabled || i.access != ACCESS_RAW || i.fd <= 0 || index == io.ifindex.load(std::memory_order_relaxed))
        return;
    int bound = 0;
    int fd = open_raw(i, &bound);
    if (fd < 0)
        return;  // tried again at the next step
    store_release(i.fd, keep_number(slot, fd));
    io.ifindex.store(bound, std::memory_order_relaxed);
    io.warned_long.store(0, std::memory_order_relaxed);
    read_hwaddr(i);
    interface_rebuild = 1;
    log_message(6, "interface %d (%s) opened again on its new device (index %d)", slot, i.name, bound);
}

} // namespace

int32_t interface_enabled(int slot)
{
    return valid_interface(slot) ? load_acquire(cfg.interfaces[slot].enabled) : 0;
}

int32_t interface_fd(int slot)
{
    return slot >= 0 && slot < IFSLOTS ? load_acquire(cfg.interfaces[slot].fd) : 0;
}

void interface_set_enabled(INTERFACE &i, int32_t enabled)
{
    store_release(i.enabled, enabled);
}

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
    int index = 0;
    switch (i.access) {
    case ACCESS_RAW:
        fd = open_raw(i, &index);
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
    if (i.access != ACCESS_VPN)
        fd = keep_number(n, fd);
    // Readers of the slot's earlier opening read these fields without a
    // lock; stores of what they hold already would only race with them.
    if (i.capture != nullptr)
        i.capture = nullptr;
    if (i.dumper != nullptr)
        i.dumper = nullptr;
    if (i.dumpdir[0] != '\0')
        i.dumpdir[0] = '\0';
    if (i.slot != n)
        i.slot = n;
    if (i.access != ACCESS_VPN)
        read_hwaddr(i);
    ifio[n].ifindex.store(index, std::memory_order_relaxed);
    ifio[n].warned_long.store(0, std::memory_order_relaxed);
    store_release(i.fd, fd);
    interface_rebuild = 1;
    if (fd > 0) {
        pthread_mutex_lock(&reader_lock);
        if (readers_on)
            start_readers_locked(n);
        pthread_mutex_unlock(&reader_lock);
    }
    return 1;
}

void interface_close(int n)
{
    if (!valid_interface(n))
        return;
    INTERFACE &i = cfg.interfaces[n];
    int fd = i.fd;
    store_release(i.fd, 0);
    ifio[n].ifindex.store(0, std::memory_order_relaxed);
    if (fd > 0) {
        if (fd == ifio[n].number)
            park_number(n);
        else
            close(fd);
    }
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
    out->dropped = shared_dropped[slot] + r.dropped - b.dropped;
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
    shared_dropped[slot] = 0;
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
    bool drop = fi.truncated || (len >= ETH_HDRLEN && mac_is_group_source(buf));
    count_received(slot, len, drop, t);
    if (drop)
        return 0;
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
    int long_len = 0;
    ssize_t n = read_frame(interface_fd(slot), i.access == ACCESS_RAW, buf, csum_not_ready, &long_len);
    if (n == RX_TOOLONG) {
        drop_too_long(slot, long_len, nullptr);
        return -1;
    }
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
    int fd = interface_fd(slot);
    if (fd <= 0 && !tw_backed(slot))
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
    ssize_t n = tw_backed(slot) ? tw_send(slot, frame, len) : write(fd, frame, (size_t)len);
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
        if (interface_enabled(s))
            interface_send(s, frame, len);
}

void interface_send_set(const uint8_t *frame, int len, const int32_t flags[IFSLOTS])
{
    for (int s = 1; s <= MAXINTERFACE; s++)
        if (flags[s] && interface_enabled(s))
            interface_send(s, frame, len);
}

void interface_send_others(int exclude, const uint8_t *frame, int len)
{
    for (int s = 1; s <= MAXINTERFACE; s++)
        if (s != exclude && interface_enabled(s))
            interface_send(s, frame, len);
}

// ---------------------------------------------------------------------------
// Select loop

void interface_rebuild_list()
{
    OPENLIST list = {};
    for (int s = 0; s < IFSLOTS; s++)
        if (interface_fd(s) != 0)
            list.slot[list.count++] = s;
    pthread_mutex_lock(&open_list_lock);
    open_interfaces = list;
    pthread_mutex_unlock(&open_list_lock);
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
            if (interface_fd(s) > width)
                width = interface_fd(s);
        width++;
        interface_rebuild_list();
        fd_set all;
        FD_ZERO(&all);
        // The interface locks are initialised with the tables; they are
        // not re-initialised here because a command thread may hold one
        // (show ifstat) while the loop rebuilds.
        for (int k = 0; k < open_interfaces.count; k++) {
            int fd = interface_fd(open_interfaces.slot[k]);
            // A slot on the test wire has a /dev/null descriptor that is
            // always readable; it is fed by the test, not by the loop.
            if (fd > 0 && fd < FD_SETSIZE && !tw_backed(open_interfaces.slot[k]))
                FD_SET(fd, &all);
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
                int fd = interface_fd(slot);
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

// A reader's poll reported an error and no frame. Reading SO_ERROR
// clears the pending error (a packet socket whose device went down gets
// ENETDOWN once and then receives nothing until the device is up again),
// so the next poll waits quietly for the link. An error that reading
// cannot clear (a TAP file whose device went away) would report again at
// once: the reader then waits a second, as for a closed interface.
void reader_error(const KVNTHREAD *t, int fd)
{
    int err = 0;
    socklen_t len = sizeof err;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err != 0) {
        log_message(6, "read() error in thread %d, errno = %d", t->number, err);
        return;
    }
    poll(nullptr, 0, 1000);
}

void *interface_mt_thread(void *arg)
{
    KVNTHREAD *t = (KVNTHREAD *)arg;
    t->tid = pthread_self();
    int slot = t->slot;
    INTERFACE &i = cfg.interfaces[slot];
    // Each reader owns its buffer for the life of the process.
    static thread_local uint8_t buf[FRAMEBUF];
    log_message(6, "interface_mt_thread() no. %d (TID=%lu) started for interface %d, fd = %d, _p = %p", t->number,
                (unsigned long)t->tid, slot, interface_fd(slot), (void *)buf);
    for (;;) {
        // A disabled interface has no descriptor (0 would be standard input):
        // the reader idles until the interface is open again.
        int fd = interface_fd(slot);
        if (fd <= 0 || !interface_enabled(slot)) {
            poll(nullptr, 0, 1000);
            continue;
        }
        // Wait at most a second, so that a reader whose interface was
        // disabled meanwhile comes back to the check above.
        struct pollfd ready = {.fd = fd, .events = POLLIN, .revents = 0};
        if (poll(&ready, 1, 1000) <= 0)
            continue;
        if ((ready.revents & POLLIN) == 0) {
            if ((ready.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0)
                reader_error(t, fd);
            continue;
        }
        bool csum_not_ready;
        int long_len = 0;
        ssize_t n = read_frame(fd, i.access == ACCESS_RAW, buf, &csum_not_ready, &long_len);
        if (n == 0) {
            log_message(6, "read() returns 0 thread %d", t->number);
            continue;
        }
        if (n == RX_TOOLONG) {
            drop_too_long(slot, long_len, t);
            continue;
        }
        if (n < 0) {
            // Several readers wait for one descriptor and the reads do not
            // wait: a frame another reader took leaves EAGAIN, which is
            // no error.
            if (errno == EAGAIN)
                continue;
            if (errno == EBADMSG)
                log_message(6, "unexpected EBADMSG thread %d", t->number);
            else
                log_message(6, "read() error in thread %d, errno = %d", t->number, errno);
            continue;
        }
        interface_frame_in(slot, buf, (int)n, csum_not_ready, t);
    }
    return nullptr;
}

void interface_loop_multithreading()
{
    // From here on every interface opened gets its readers when it opens;
    // those open now get them here.
    pthread_mutex_lock(&reader_lock);
    readers_on = true;
    for (int s = 0; s < IFSLOTS; s++)
        if (interface_fd(s) > 0)
            start_readers_locked(s);
    pthread_mutex_unlock(&reader_lock);
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
        return interface_fd(slot) != 0 ? 1 : 0;
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
    int index = i.access == ACCESS_RAW && interface_enabled(slot) ? sysfs_ifindex(i) : 0;
    pthread_mutex_unlock(&link_lock);
    follow_device(slot, index);
    if (param_value(P_DEBUGSCOPE) == 1)
        log_message(7, "link detection for interface %ld: %d", (long)slot, state);
    if (state == load_acquire(i.link_state))
        return;
    store_release(i.link_state, state > 0 ? 1 : 0);
    if (state > 0) {
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
    pthread_mutex_lock(&open_list_lock);
    OPENLIST list = open_interfaces;
    pthread_mutex_unlock(&open_list_lock);
    if (list.count > 0) {
        fputc('\n', out);
        for (int p = 0; p < list.count; p++)
            fprintf(out, "index %d (%s)\n", p, cfg.interfaces[list.slot[p]].name);
    }
    fputc('\n', out);
    for (int s = 0; s < IFSLOTS; s++) {
        INTERFACE &i = cfg.interfaces[s];
        if (interface_fd(s) <= 0)
            continue;
        IFCOUNTS c;
        interface_counts(s, &c);
        pthread_rwlock_rdlock(&i.lock);
        uint64_t db = i.dumped_bytes;
        pthread_rwlock_unlock(&i.lock);
        fprintf(out, "interface %d (%s)\n", s, i.name);
        fprintf(out, "  link detection: %s\n", load_acquire(i.link_state) == 1 ? "TRUE" : "FALSE");
        fprintf(out, "  address:\n    %02x:%02x:%02x:%02x:%02x:%02x\n", i.hwaddr[0], i.hwaddr[1], i.hwaddr[2],
                i.hwaddr[3], i.hwaddr[4], i.hwaddr[5]);
        fprintf(out, "  received:\n    packets %llu\n    bytes   %llu\n", (unsigned long long)c.recv_packets,
                (unsigned long long)c.recv_bytes);
        fprintf(out, "  sent:\n    packets %llu\n    bytes   %llu\n", (unsigned long long)c.sent_packets,
                (unsigned long long)c.sent_bytes);
        fprintf(out, "  dumped:\n    bytes   %llu\n", (unsigned long long)db);
        // Frames dropped on receipt (too long for the buffer, a group
        // source, cut IP packets); listed once there were any.
        if (c.dropped != 0)
            fprintf(out, "  dropped:\n    packets %llu\n", (unsigned long long)c.dropped);
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
    int count = kvn_thread_count.load(std::memory_order_acquire);
    for (int k = 0; k < count; k++) {
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
