// Target NAT: a target (an inside address, "ipa") gets a fixed outside
// address of its own ("ipb") for the connections it opens itself, and
// connections to ipb reach it. A rule covers one protocol (TCP or UDP) and
// one port or every port.
//
// Two NATHASH tables carry the rules: the forward table maps (ipb,
// protocol, port) to ipa and rewrites the destination of frames to ipb;
// the reverse table maps (ipa, protocol, port) to ipb and rewrites the
// source of frames from ipa. Port 0 means any port; a rule for any port is
// looked up before one for the frame's port.
//
// The `tnat` module (mod_tnat, packet/module.h), the `tnat` command with
// its block and revert forms (cmd_tnat, cmd_no_tnat,
// command/command_table.h) and the block writer (write_tnat,
// config/config_writer.h) live in tnat.cpp.
#pragma once

#include "packet/nathash.h"

extern NATHASH *tnat_forward;   // (ipb, protocol, port) -> ipa
extern NATHASH *tnat_reverse;   // (ipa, protocol, port) -> ipb

// Rules in the forward table.
int tnat_rule_count();
// Removes every rule (the address entries made for them stay).
void tnat_clear();
