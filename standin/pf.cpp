// The packet filter's ALTQ requests (being built).
#include <cerrno>

#include "internal.h"

int standin_pf_ioctl(int, unsigned long, void *) { return standin_fail(ENODEV); }
