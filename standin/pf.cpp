// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// The packet filter's device, its status and its ALTQ requests. Linux has
// no packet filter, so they fail as on a FreeBSD host without one. A test's
// fixture tree may hold the device as a file of pf's status record, which
// the status request then answers with; tests install a filter whose
// entries answer the ALTQ requests as FreeBSD's kernel does (ticket, entry
// number, statistics copied to the caller's buffer).
#include <sys/types.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <net/pfvar.h>

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "internal.h"
#include "standin.h"

static const standin_pf *filter;
static const u_int32_t TICKET = 7; // any number; the caller must hand it back

void standin_set_pf(const standin_pf *pf)
{
    filter = pf;
}

static const standin_altq *find(u_int32_t ticket, u_int32_t nr)
{
    if (ticket != TICKET || nr >= filter->count)
        return nullptr;
    return &filter->entries[nr];
}

static int get_altq(struct pfioc_altq *pa)
{
    const standin_altq *e = find(pa->ticket, pa->nr);
    if (e == nullptr)
        return standin_fail(EBUSY);
    memset(&pa->altq, 0, sizeof(pa->altq));
    snprintf(pa->altq.ifname, sizeof(pa->altq.ifname), "%s", e->ifname);
    snprintf(pa->altq.qname, sizeof(pa->altq.qname), "%s", e->qname);
    pa->altq.scheduler = e->scheduler;
    pa->altq.qid = e->qid;
    return 0;
}

static int get_qstats(struct pfioc_qstats *pq)
{
    const standin_altq *e = find(pq->ticket, pq->nr);
    if (e == nullptr)
        return standin_fail(EBUSY);
    // An interface's own entry has no statistics.
    if (e->stats == nullptr)
        return standin_fail(EINVAL);
    if (pq->nbytes < static_cast<int>(e->stats_size))
        return standin_fail(EINVAL);
    memcpy(pq->buf, e->stats, e->stats_size);
    pq->nbytes = static_cast<int>(e->stats_size);
    pq->scheduler = e->scheduler;
    return 0;
}

int standin_pf_ioctl(int fd, unsigned long request, void *argument)
{
    if (filter == nullptr)
        return standin_fail(fd < 0 ? EBADF : ENOTTY);
    if (request == filter->failing)
        return standin_fail(EIO);
    switch (request) {
    case DIOCGETALTQS: {
        struct pfioc_altq *pa = static_cast<struct pfioc_altq *>(argument);
        pa->ticket = TICKET;
        pa->nr = filter->count;
        return 0;
    }
    case DIOCGETALTQ:
        return get_altq(static_cast<struct pfioc_altq *>(argument));
    case DIOCGETQSTATS:
        return get_qstats(static_cast<struct pfioc_qstats *>(argument));
    }
    return standin_fail(ENOTTY);
}

// open: the packet filter's device is looked for below the root (no such
// file on Linux, a fixture's record in a test's tree); every other path
// goes to the kernel unchanged.
extern "C" int open(const char *path, int flags, ...)
{
    mode_t mode = 0;
    if (flags & (O_CREAT | O_TMPFILE)) {
        va_list ap;
        va_start(ap, flags);
        mode = static_cast<mode_t>(va_arg(ap, int));
        va_end(ap);
    }
    char below[PATH_MAX];
    if (strcmp(path, "/dev/pf") == 0) {
        snprintf(below, sizeof(below), "%s%s", standin_root(), path);
        path = below;
    }
    return static_cast<int>(syscall(SYS_openat, AT_FDCWD, path, flags, mode));
}

int standin_pf_status(int fd, unsigned long, void *argument)
{
    // Only the fixture's file answers; any other descriptor is not pf's.
    struct stat st;
    if (fstat(fd, &st) != 0)
        return -1;
    if (!S_ISREG(st.st_mode))
        return standin_fail(ENOTTY);
    ssize_t n = pread(fd, argument, sizeof(struct pf_status), 0);
    if (n < 0)
        return -1;
    if (n != sizeof(struct pf_status))
        return standin_fail(EINVAL);
    return 0;
}
