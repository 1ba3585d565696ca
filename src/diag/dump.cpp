// The traffic dump, until diagnostics are built.
#include "diag/dump.h"

void dump_close(int)
{
    // `dump` is not available in this build, so no interface ever holds a
    // capture handle or a dump writer to close.
}
