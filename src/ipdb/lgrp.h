// Location groups of the IP location database.
#pragma once

// Resolves the location groups of the targets against the loaded
// database; called by the configuration check. Returns -1 when the groups
// cannot be parsed, else the number of groups left unresolved.
int lgrp_resolve();

// Whether location l (an index 0..511, or below 0 for "no location") is a
// member of target t's location group. True when the target has no group
// or l is below 0; an index above 511 or a group letter outside A..Z is
// logged as invalid and counts as a member.
bool lgrp_member(int l, int t);
