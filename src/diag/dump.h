// The traffic dump of an interface into capture files.
#pragma once

// Ends the traffic dump of interface n: closes its dump writer and capture
// handle and clears both fields. Called by `disable interface`.
void dump_close(int n);
