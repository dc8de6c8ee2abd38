// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// kvm_openfiles, kvm_read, kvm_geterr and kvm_close for the running kernel
// only. The one kernel structure the probes read, a process's, is built
// from /proc (procfs.h); opening the handle keeps the /proc directory open
// for the rest of the process's life, chroot or not.
#include <sys/types.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <kvm.h>

#include "procfs.h"
#include "xmalloc.h"

struct __kvm {
    char error[_POSIX2_LINE_MAX];
};

kvm_t *kvm_openfiles(const char *execfile, const char *corefile, const char *swapfile, int flags,
                     char *errbuf)
{
    if (execfile != nullptr || corefile != nullptr || swapfile != nullptr ||
        (flags & O_ACCMODE) != O_RDONLY) {
        snprintf(errbuf, _POSIX2_LINE_MAX, "only the running kernel can be read, read-only");
        return nullptr;
    }
    if (standin_proc_hold() != 0) {
        snprintf(errbuf, _POSIX2_LINE_MAX, "/proc: %s", strerror(errno));
        return nullptr;
    }
    return xnew_record<kvm_t>();
}

ssize_t kvm_read(kvm_t *kd, unsigned long address, void *buffer, size_t size)
{
    if (standin_proc_image(address, buffer, size) == 0)
        return static_cast<ssize_t>(size);
    snprintf(kd->error, sizeof(kd->error), "cannot read %zu bytes at 0x%lx: %s", size, address,
             strerror(errno));
    return -1;
}

char *kvm_geterr(kvm_t *kd)
{
    return kd->error;
}

int kvm_close(kvm_t *kd)
{
    standin_proc_release();
    xfree(kd);
    return 0;
}
