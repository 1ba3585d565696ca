// Services of other subsystems that the I/O path calls: the traffic dump
// writer and the alert-script starter. Their bodies live with their
// subsystems (stub bodies until those land).
#pragma once

#include <cstdint>

// Records a frame into the interface's traffic dump and rotates the dump
// file when it is due; called with the interface lock held (for reading
// when receiving, for writing when sending) and only while dumping is
// active (capture and dumper set). Owned by the traffic dump (diag).
void dump_record(int slot, const uint8_t *frame, int len);

// Starts an interface alert command (the interface's alert or upalert
// text, "$name$" replaced by the interface name) in its own detached
// thread. Owned by the script runner (health).
void run_alert_command(const char *command);

// Substitutes "$name$" in an interface alert text and starts it.
void interface_alert(int slot, const char *text);
