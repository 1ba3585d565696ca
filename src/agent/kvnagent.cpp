// kvnagent: answers the balancer's load queries on a target host.
// The protocol server comes with its own release; this build only reports
// its usage.
#include <cstdio>

int main(int, char **)
{
    fprintf(stderr, "usage: kvnagent [options]\n");
    return 64;
}
