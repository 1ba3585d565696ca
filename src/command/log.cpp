// The daemon log and its two in-memory rings.
//
// The recent ring keeps the last 40 entries; its index names the slot the
// next entry goes to, which is also the oldest entry, so `show log` walks
// from the slot after it once around, showing at most 39. The start-up log
// keeps the first 40 entries of the process and is never overwritten.
#include "command/log.h"

#include <atomic>
#include <cstdarg>
#include <cstring>
#include <ctime>
#include <pthread.h>
#include <syslog.h>

#include "command/process.h"

static pthread_mutex_t log_lock = PTHREAD_MUTEX_INITIALIZER;
static char line_buffer[LOG_LINE_SIZE];
static char recent_ring[LOG_RING_SIZE][LOG_ENTRY_SIZE];
static std::atomic<int> ring_index;
static char startup_log[LOG_RING_SIZE][LOG_ENTRY_SIZE];
static int startup_count;

void log_init()
{
    pthread_mutex_init(&log_lock, nullptr);
}

void log_reset()
{
    pthread_mutex_lock(&log_lock);
    memset(recent_ring, 0, sizeof recent_ring);
    memset(startup_log, 0, sizeof startup_log);
    ring_index = 0;
    startup_count = 0;
    pthread_mutex_unlock(&log_lock);
}

void log_message(int level, const char *fmt, ...)
{
    char message[1024];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(message, sizeof message, fmt, ap);
    va_end(ap);

    pthread_mutex_lock(&log_lock);
    syslog(LOG_DAEMON | (level & 7), "%s", message);

    // The level digit and blank, then at most 125 characters of the message.
    int head = snprintf(line_buffer, sizeof line_buffer, "%d ", level);
    snprintf(line_buffer + head, sizeof line_buffer - head, "%.125s", message);

    time_t now = time(nullptr);
    struct tm tm;
    localtime_r(&now, &tm);
    char *entry = recent_ring[ring_index];
    // LOG_ENTRY_SIZE - 1 leaves room for 158 characters and the terminator;
    // cutting a longer entry is intended.
#pragma GCC diagnostic push
#if !defined(__clang__)
#pragma GCC diagnostic ignored "-Wformat-truncation"
#endif
    snprintf(entry, LOG_ENTRY_SIZE - 1, "%4d/%02d/%02d %02d:%02d:%02d %s", tm.tm_year + 1900,
             tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, line_buffer);
#pragma GCC diagnostic pop
    if (startup_count < LOG_RING_SIZE)
        memcpy(startup_log[startup_count++], entry, LOG_ENTRY_SIZE);
    if (dmn.debug) {
        fprintf(stderr, "%s\n", entry);
        fflush(stderr);
    }
    ring_index = (ring_index + 1) % LOG_RING_SIZE;
    pthread_mutex_unlock(&log_lock);
}

// Copies a ring under the log lock, so that an entry being written by
// another thread is never printed half old, half new; the copy is printed
// without the lock, so a slow session does not hold up every logging thread.
static int
copy_ring(char copy[LOG_RING_SIZE][LOG_ENTRY_SIZE], const char ring[LOG_RING_SIZE][LOG_ENTRY_SIZE])
{
    pthread_mutex_lock(&log_lock);
    memcpy(copy, ring, sizeof(char[LOG_RING_SIZE][LOG_ENTRY_SIZE]));
    int index = ring_index;
    pthread_mutex_unlock(&log_lock);
    return index;
}

int show_log(int, char **, FILE *out)
{
    static thread_local char copy[LOG_RING_SIZE][LOG_ENTRY_SIZE];
    int index = copy_ring(copy, recent_ring);
    for (int i = (index + 1) % LOG_RING_SIZE; i != index; i = (i + 1) % LOG_RING_SIZE) {
        if (copy[i][0] != '\0')
            fprintf(out, "  %s\n", copy[i]);
    }
    return 1;
}

int show_startuplog(int, char **, FILE *out)
{
    static thread_local char copy[LOG_RING_SIZE][LOG_ENTRY_SIZE];
    copy_ring(copy, startup_log);
    for (int i = 0; i < LOG_RING_SIZE; i++) {
        if (copy[i][0] != '\0')
            fprintf(out, "  %s\n", copy[i]);
    }
    return 1;
}

static const char *const debugscope_texts[] = {
    "off",
    "target script debugging",
    "target ascript debugging",
    "server plugin debugging",
    "DNS library debugging",
    "location group (LGRP) debugging",
    "special session table (portrel) debugging",
    "debugging of session table syncing",
    "debugging of gratuitous ARP requests",
};

int show_debugscopes(int, char **, FILE *out)
{
    for (int i = 0; i < (int)(sizeof debugscope_texts / sizeof debugscope_texts[0]); i++)
        fprintf(out, "  %d %s\n", i, debugscope_texts[i]);
    return 1;
}
