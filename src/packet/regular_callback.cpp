// The once-a-second callback of the I/O loop. Order matters: the ARP
// refresh runs before the probes so probes use fresh MACs, expiry runs
// before VRRP so a backup taking over starts from a cleaned table, and the
// state evaluation comes last so it sees this second's probe answers.
#include "packet/regular_callback.h"

#include "balance/session_table.h"
#include "command/process.h"
#include "config/parameters.h"
#include "ha/vrrp.h"
#include "packet/arp_hooks.h"
#include "packet/snat.h"

void regular_callback()
{
    unsigned now = get_uptime();

    arp_refresh();
    probe_send_due();
    st_scan(session_table);
    for (int k = 0; k < param_value(P_NATSCAN); k++)
        nat_scan();
    snat_expire();
    if (vrrp_settings_complete())
        vrrp_callback();
    int remind = param_value(P_GRATARPREMIND);
    if (remind != 0 && now % (unsigned)(remind * 60) == 0)
        arp_gratuitous_reminders();
    gateway_probes();
    sync_second();
    // Evaluate twice a minute boundary (0 and 1, so a probe answered in the
    // boundary second still counts) and every other second while starting.
    if (now % 60 == 0 || now % 60 == 1 || (now < 60 && now % 2 == 0)) {
        evaluate_gateway();
        evaluate_targets();
    }
}
