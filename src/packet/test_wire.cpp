// The test wire (see test_wire.h). Its log is a fixed array: tests look at
// a handful of frames, and the fuzz target clears it after every input.
#include "packet/test_wire.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <sys/time.h>
#include <unistd.h>

#include "config/config_state.h"
#include "packet/interface_io.h"

namespace {

struct TWSTATE {
    int backed[IFSLOTS];           // 1 when the slot is on the wire
    int fail_errno[IFSLOTS];       // errno planted for the next send, 0 = none
    TWFRAME log[TW_MAXFRAMES];     // logged frames, in order
    int count;                     // log entries used
    int overflow;                  // frames not logged for lack of room
    uint8_t rxbuf[FRAMEBUF];       // the wire's reader buffer
    pthread_mutex_t lock;          // guards everything above but rxbuf
};

TWSTATE tw = {.backed = {}, .fail_errno = {}, .log = {}, .count = 0, .overflow = 0, .rxbuf = {},
              .lock = PTHREAD_MUTEX_INITIALIZER};

// Read by every sending thread, so it is no field under the lock.
std::atomic<bool> discarding{false};

void tw_log(int slot, int received, const uint8_t *frame, int len)
{
    pthread_mutex_lock(&tw.lock);
    if (tw.count < TW_MAXFRAMES) {
        TWFRAME &f = tw.log[tw.count++];
        f.slot = slot;
        f.received = received;
        f.len = len;
        if (len > 0)
            memcpy(f.data, frame, (size_t)len);
    } else {
        tw.overflow++;
    }
    pthread_mutex_unlock(&tw.lock);
}

} // namespace

bool tw_attach(int slot, const char *name, const uint8_t hwaddr[6])
{
    if (!valid_interface(slot))
        return false;
    INTERFACE &i = cfg.interfaces[slot];
    if (!tw.backed[slot]) {
        int fd = open("/dev/null", O_RDWR | O_CLOEXEC);
        if (fd <= 0)
            return false;
        i.fd = fd;
    }
    i.registered = 1;
    i.enabled = 1;
    i.slot = slot;
    snprintf(i.name, sizeof i.name, "%s", name);
    memcpy(i.hwaddr, hwaddr, 6);
    tw.backed[slot] = 1;
    tw.fail_errno[slot] = 0;
    interface_rebuild = 1;
    interface_rebuild_list();
    return true;
}

void tw_detach_all()
{
    for (int s = 1; s <= MAXINTERFACE; s++) {
        if (!tw.backed[s])
            continue;
        INTERFACE &i = cfg.interfaces[s];
        if (i.fd > 0)
            close(i.fd);
        i.fd = 0;
        i.enabled = 0;
        tw.backed[s] = 0;
        tw.fail_errno[s] = 0;
    }
    discarding.store(false, std::memory_order_relaxed);
    tw_clear();
    interface_rebuild = 1;
    interface_rebuild_list();
}

bool tw_backed(int slot) { return valid_interface(slot) && tw.backed[slot] != 0; }

int tw_send(int slot, const uint8_t *frame, int len)
{
    if (!tw_backed(slot) || len < 0) {
        errno = EBADF;
        return -1;
    }
    if (tw.fail_errno[slot] != 0) {
        errno = tw.fail_errno[slot];
        tw.fail_errno[slot] = 0;
        return -1;
    }
    if (len > FRAMEBUF)
        len = FRAMEBUF;
    if (discarding.load(std::memory_order_relaxed))
        return len;
    tw_log(slot, 0, frame, len);
    return len;
}

void tw_discard_sends(bool on) { discarding.store(on, std::memory_order_relaxed); }

void tw_fail_next_send(int slot, int err)
{
    if (valid_interface(slot))
        tw.fail_errno[slot] = err;
}

int tw_receive(int slot, const uint8_t *frame, int len, bool csum_not_ready)
{
    if (!tw_backed(slot) || len < 0)
        return 0;
    if (len > FRAMEBUF - 1)
        len = FRAMEBUF - 1;
    // A real reader buffer holds whatever the last frame left behind.
    if (len > 0)
        memcpy(tw.rxbuf, frame, (size_t)len);
    tw_log(slot, 1, tw.rxbuf, len);
    return interface_frame_in(slot, tw.rxbuf, len, csum_not_ready, nullptr);
}

int tw_dispatch(int slot, uint8_t *frame, int len)
{
    if (!tw_backed(slot) || len < 0)
        return 0;
    return interface_frame_in(slot, frame, len, false, nullptr);
}

int tw_sent_count() { return tw_sent_count_slot(0); }

const TWFRAME *tw_sent(int i) { return tw_sent_slot(0, i); }

// Slot 0 selects every slot.
int tw_sent_count_slot(int slot)
{
    int n = 0;
    for (int k = 0; k < tw.count; k++)
        if (!tw.log[k].received && (slot == 0 || tw.log[k].slot == slot))
            n++;
    return n;
}

const TWFRAME *tw_sent_slot(int slot, int i)
{
    for (int k = 0; k < tw.count; k++)
        if (!tw.log[k].received && (slot == 0 || tw.log[k].slot == slot) && i-- == 0)
            return &tw.log[k];
    return nullptr;
}

int tw_overflow() { return tw.overflow; }

void tw_clear()
{
    pthread_mutex_lock(&tw.lock);
    tw.count = 0;
    tw.overflow = 0;
    pthread_mutex_unlock(&tw.lock);
}

// The classic pcap file layout, written by hand so the wire needs no
// library: a 24-byte file header and a 16-byte header per record, all in
// host byte order as the magic number tells readers.
bool tw_write_pcap(const char *path)
{
    FILE *f = fopen(path, "wb");
    if (f == nullptr)
        return false;
    struct {
        uint32_t magic;
        uint16_t major, minor;
        int32_t thiszone;
        uint32_t sigfigs, snaplen, linktype;
    } fh = {0xa1b2c3d4u, 2, 4, 0, 0, 65535, 1};
    bool ok = fwrite(&fh, sizeof fh, 1, f) == 1;
    struct timeval now;
    gettimeofday(&now, nullptr);
    for (int k = 0; ok && k < tw.count; k++) {
        const TWFRAME &t = tw.log[k];
        uint32_t rh[4] = {(uint32_t)now.tv_sec, (uint32_t)k, (uint32_t)t.len, (uint32_t)t.len};
        ok = fwrite(rh, sizeof rh, 1, f) == 1 && (t.len == 0 || fwrite(t.data, (size_t)t.len, 1, f) == 1);
    }
    return fclose(f) == 0 && ok;
}
