// Control pipes and the interactive client.
#include "command/control.h"

#include <cstdlib>
#include <unistd.h>

#include "daemon/daemon.h"

CMDCHANNEL *open_command_channel(const char *, const char *)
{
    return nullptr;  // the pipes come with the control client
}

void *command_thread(void *)
{
    for (;;)
        pause();
    return nullptr;
}

void client_main(const char *, const char *, const char *)
{
    fprintf(stderr, "Korvane: no peer available\n");
    exit(EXIT_UNAVAILABLE);
}
