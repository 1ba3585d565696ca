// Interface access and I/O threads.
// The handlers below answer "command not available" until their subsystem lands.
#include "command/command_table.h"
#include "config/show.h"
#include "packet/interface_io.h"

#include <unistd.h>

int show_ifstat(int argc, char **argv, FILE *out)
{
    return show_not_available(argc, argv, out);
}

int show_threads(int argc, char **argv, FILE *out)
{
    return show_not_available(argc, argv, out);
}

int interface_open(int)
{
    return 1;  // devices are opened by the I/O layer once it lands
}

void interface_close(int)
{
}

void *link_detection_thread(void *)
{
    return nullptr;
}

void interface_loop()
{
    for (;;)
        pause();
}

void interface_loop_multithreading()
{
    interface_loop();
}
