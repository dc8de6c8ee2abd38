// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// ioctl: the requests of FreeBSD drivers that Linux lacks go to the files
// that answer them; every other request goes to the kernel unchanged.
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <sys/ata.h>
#include <net/pfvar.h>

#include <cstdarg>
#include <unistd.h>

#include "internal.h"

struct ioctl_row {
    unsigned long request;
    ioctl_handler *handle;
};

static const ioctl_row ioctl_table[] = {
    {DIOCGETSTATUS, standin_pf_status},
    {DIOCGETALTQS, standin_pf_ioctl},
    {DIOCGETALTQ, standin_pf_ioctl},
    {DIOCGETQSTATS, standin_pf_ioctl},
    {IOCATAREQUEST, standin_ata_ioctl},
};

extern "C" int ioctl(int fd, unsigned long request, ...) noexcept
{
    va_list ap;
    va_start(ap, request);
    void *argument = va_arg(ap, void *);
    va_end(ap);
    for (const ioctl_row &row : ioctl_table)
        if (row.request == request)
            return row.handle(fd, request, argument);
    return static_cast<int>(syscall(SYS_ioctl, fd, request, argument));
}
