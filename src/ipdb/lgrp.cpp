// Location groups, until the location database is built.
#include "ipdb/lgrp.h"

int lgrp_resolve()
{
    // `lgrp` is not available in this build, so no group is defined and
    // none is left unresolved.
    return 0;
}

bool lgrp_member(int, int)
{
    // Without groups a target's `lgrp` restricts nothing: every client
    // location counts as a member, as it does for a target with no group.
    return true;
}
