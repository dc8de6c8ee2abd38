// The process table and the clock rate (being built).
#include <cerrno>

#include "internal.h"

int read_clockrate(const int *, u_int, void *, size_t *) { return standin_fail(ENOENT); }
int read_maxproc(const int *, u_int, void *, size_t *) { return standin_fail(ENOENT); }
int read_proc_all(const int *, u_int, void *, size_t *) { return standin_fail(ENOENT); }
