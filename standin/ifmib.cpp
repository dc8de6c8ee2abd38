// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// The interface MIB from /proc/net/dev: the interface count and one
// struct ifmibdata per row, rows numbered from 1 in the file's order.
// A count read takes a snapshot of the file and the row reads after it are
// answered from that snapshot: one read of the file per measurement, and
// rows that cannot shift while they are walked.
#include <sys/types.h>
#include <sys/socket.h>
#include <net/if.h>
#include <net/if_mib.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "internal.h"
#include "standin.h"

enum {
    ROW_MAX = 16384, // past the probe's limit
    NETDEV_COLUMNS = 16,
};

static_assert(offsetof(ifmibdata, ifmd_name) == 0, "ifmd_name at 0");

static char *text;
static size_t text_size;
static const char *rows[ROW_MAX]; // into text
static int row_count = -1; // -1: no snapshot yet

// An interface line has its name before the last colon.
static const char *name_end(const char *line)
{
    const char *end = strchr(line, '\n');
    const char *colon = nullptr;
    for (const char *p = line; *p && p != end; p++)
        if (*p == ':')
            colon = p;
    return colon;
}

static int take_snapshot()
{
    if (standin_read_all(SF_NETDEV, &text, &text_size) < 0) {
        row_count = -1;
        return -1;
    }
    row_count = 0;
    // Two heading lines, then one interface per line.
    const char *line = standin_next_line(text);
    for (line = line ? standin_next_line(line) : nullptr; line; line = standin_next_line(line)) {
        if (name_end(line) == nullptr)
            continue;
        if (row_count < ROW_MAX)
            rows[row_count] = line;
        row_count++;
    }
    return 0;
}

int read_ifcount(const int *, u_int, void *oldp, size_t *oldlenp)
{
    if (take_snapshot() != 0)
        return -1;
    return standin_deliver(&row_count, sizeof(row_count), oldp, oldlenp);
}

// Linux's columns: bytes packets errs drop fifo frame compressed multicast
// received, then bytes packets errs drop fifo colls carrier compressed sent.
static int parse_row(const char *line, ifmibdata *d)
{
    const char *colon = name_end(line);
    line = standin_skip_blanks(line);
    size_t length = static_cast<size_t>(colon - line);
    if (length == 0 || length >= sizeof(d->ifmd_name))
        return 0;
    unsigned long long c[NETDEV_COLUMNS];
    if (standin_numbers(colon + 1, c, NETDEV_COLUMNS) != NETDEV_COLUMNS)
        return 0;
    memset(d, 0, sizeof(*d));
    memcpy(d->ifmd_name, line, length);
    if_data *f = &d->ifmd_data;
    f->ifi_datalen = sizeof(*f);
    f->ifi_ibytes = c[0];
    f->ifi_ipackets = c[1];
    f->ifi_ierrors = c[2];
    f->ifi_iqdrops = c[3];
    f->ifi_imcasts = c[7];
    f->ifi_obytes = c[8];
    f->ifi_opackets = c[9];
    f->ifi_oerrors = c[10];
    f->ifi_oqdrops = c[11];
    f->ifi_collisions = c[13];
    // Linux counts no multicast packets sent: ifi_omcasts stays 0.
    return 1;
}

// name: ..., IFMIB_IFDATA, row, IFDATA_GENERAL.
int read_ifdata(const int *name, u_int, void *oldp, size_t *oldlenp)
{
    if (name[5] != IFDATA_GENERAL)
        return standin_fail(ENOENT);
    if (row_count < 0 && take_snapshot() != 0)
        return -1;
    int row = name[4];
    ifmibdata d;
    if (row < 1 || row > row_count || row > ROW_MAX || !parse_row(rows[row - 1], &d))
        return standin_fail(ENOENT);
    return standin_deliver(&d, sizeof(d), oldp, oldlenp);
}
