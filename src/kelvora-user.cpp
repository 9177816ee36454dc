// kelvora-user: the per-user helper.
#include "common/common.h"

#include <cstdio>

int main(int, char **)
{
    lib_init("kelvora-user");
    fprintf(stderr, "kelvora-user: internal Kelvora helper, not meant to be run directly\n");
    return 1;
}
