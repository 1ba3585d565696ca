// Bandwidth history: the per-target sampler thread and the rates.
#include "balance/bandwidth.h"

#include <cerrno>
#include <cstdint>
#include <ctime>

#include "balance/slb.h"
#include "command/process.h"
#include "config/config_state.h"
#include "config/threads.h"

void bw_sample(int n, unsigned now)
{
    TARGET &t = cfg.targets[n];
    pthread_mutex_lock(&t.lock);
    int pos = t.bw_pos >= 0 && t.bw_pos < BWSLOTS ? t.bw_pos : 0;
    TARGETTRAFFIC c;
    target_traffic(n, &c);
    t.bw[pos].time = now;
    t.bw[pos].bytes_to = c.bytes_to;
    t.bw[pos].bytes_from = c.bytes_from;
    t.bw_pos = (pos + 1) % BWSLOTS;
    pthread_mutex_unlock(&t.lock);
}

static void *bw_sampler_thread(void *arg)
{
    int n = (int)(intptr_t)arg;
    for (;;) {
        // A signal (SIGCHLD of a script) may cut the sleep short; sleep the
        // rest so the samples stay a second apart.
        struct timespec left = {1, 0};
        while (nanosleep(&left, &left) != 0 && errno == EINTR) {
        }
        bw_sample(n, get_uptime());
    }
    return nullptr;
}

void bw_sampler_start(int n)
{
    if (!valid_target(n) || !dmn.is_daemon)
        return;
    run_thread_and_detach(bw_sampler_thread, (void *)(intptr_t)n);
}

static uint64_t rate(uint64_t now_bytes, uint64_t then_bytes, unsigned seconds)
{
    return now_bytes > then_bytes ? (now_bytes - then_bytes) / seconds : 0;
}

BWRATES bw_rates(int n, unsigned now)
{
    BWRATES r = {0, 0};
    TARGET &t = cfg.targets[n];
    pthread_mutex_lock(&t.lock);
    int pos = t.bw_pos >= 0 && t.bw_pos < BWSLOTS ? t.bw_pos : 0;
    const BWSAMPLE &old = t.bw[pos];
    // Uptime values are compared by subtraction.
    unsigned seconds = now - old.time;
    if (old.time != 0 && seconds != 0 && seconds < 0x80000000u) {
        TARGETTRAFFIC c;
        target_traffic(n, &c);
        r.in = rate(c.bytes_from, old.bytes_from, seconds);
        r.out = rate(c.bytes_to, old.bytes_to, seconds);
    }
    pthread_mutex_unlock(&t.lock);
    return r;
}
