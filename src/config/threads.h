// Detached threads. Every thread the daemon starts goes through here, so
// that the stack size of parameter pthreadstacksize applies to all of them.
#pragma once

// Starts a detached thread with the stack size of parameter
// pthreadstacksize (0 keeps the system default). A failure is logged as
// "unable to create thread rc=%d %s" and the caller goes on.
void run_thread_and_detach(void *(*routine)(void *), void *arg);
