// Detached threads with the configured stack size.
#include "config/threads.h"

#include <cstring>
#include <pthread.h>

#include "command/log.h"
#include "config/parameters.h"

void run_thread_and_detach(void *(*routine)(void *), void *arg)
{
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    int stack = param_value(P_PTHREADSTACKSIZE);
    if (stack != 0)
        pthread_attr_setstacksize(&attr, (size_t)stack);
    pthread_t tid;
    int rc = pthread_create(&tid, &attr, routine, arg);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        log_message(3, "unable to create thread rc=%d %s", rc, strerror(rc));
        return;
    }
    pthread_detach(tid);
}
