// Stand-in ARP and MAC tables for the small modules (see arp_view.h):
// linear tables under one reader/writer lock each, bounded by their
// capacity; a MAC table that is full learns nothing more.
#include "packet/arp_view.h"

#include <cstring>
#include <pthread.h>


namespace {

struct ARPROW {
    uint8_t addr[16];              // key
    ARPVIEW view;                  // value
};
ARPROW arp_rows[ARPVIEW_CAPACITY];
int arp_count = 0;
pthread_rwlock_t arp_lock = PTHREAD_RWLOCK_INITIALIZER;

struct MACROW {
    uint8_t mac[6];                // key
    int slot;                      // interface it was last seen on
};
MACROW mac_rows[ARPVIEW_CAPACITY];
int mac_count = 0;
pthread_rwlock_t mac_lock = PTHREAD_RWLOCK_INITIALIZER;

} // namespace

bool arp_view_lookup(const uint8_t addr[16], ARPVIEW *out)
{
    bool found = false;
    pthread_rwlock_rdlock(&arp_lock);
    for (int k = 0; k < arp_count && !found; k++) {
        if (memcmp(arp_rows[k].addr, addr, 16) == 0) {
            *out = arp_rows[k].view;
            found = true;
        }
    }
    pthread_rwlock_unlock(&arp_lock);
    return found;
}

bool arp_view_insert(const uint8_t addr[16], const uint8_t mac[6], int vip, int network)
{
    pthread_rwlock_wrlock(&arp_lock);
    int k = 0;
    while (k < arp_count && memcmp(arp_rows[k].addr, addr, 16) != 0)
        k++;
    bool ok = k < ARPVIEW_CAPACITY;
    if (ok) {
        memcpy(arp_rows[k].addr, addr, 16);
        memcpy(arp_rows[k].view.mac, mac, 6);
        arp_rows[k].view.vip = vip;
        arp_rows[k].view.network = network;
        if (k == arp_count)
            arp_count++;
    }
    pthread_rwlock_unlock(&arp_lock);
    return ok;
}

void arp_view_clear()
{
    pthread_rwlock_wrlock(&arp_lock);
    arp_count = 0;
    pthread_rwlock_unlock(&arp_lock);
}

void mac_learn(const uint8_t mac[6], int slot)
{
    pthread_rwlock_wrlock(&mac_lock);
    int k = 0;
    while (k < mac_count && memcmp(mac_rows[k].mac, mac, 6) != 0)
        k++;
    if (k < mac_count) {
        mac_rows[k].slot = slot;
    } else if (k < ARPVIEW_CAPACITY) {
        memcpy(mac_rows[k].mac, mac, 6);
        mac_rows[k].slot = slot;
        mac_count++;
    }
    pthread_rwlock_unlock(&mac_lock);
}

int mac_interface(const uint8_t mac[6])
{
    int slot = -1;
    pthread_rwlock_rdlock(&mac_lock);
    for (int k = 0; k < mac_count; k++)
        if (memcmp(mac_rows[k].mac, mac, 6) == 0)
            slot = mac_rows[k].slot;
    pthread_rwlock_unlock(&mac_lock);
    return slot;
}

void mac_view_clear()
{
    pthread_rwlock_wrlock(&mac_lock);
    mac_count = 0;
    pthread_rwlock_unlock(&mac_lock);
}
