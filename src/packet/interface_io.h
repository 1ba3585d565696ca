// Interface access and the I/O loop.
#pragma once

// Opens interface n's device by its access method; > 0 on success.
int interface_open(int n);
// Closes interface n's device when it is open.
void interface_close(int n);
// Link detection of one interface; the argument is the interface number
// cast to a pointer. Started once per interface on its first enable.
void *link_detection_thread(void *arg);

// The I/O loop of the main thread (single-threaded and multithreaded
// forms); never returns.
[[noreturn]] void interface_loop();
[[noreturn]] void interface_loop_multithreading();
