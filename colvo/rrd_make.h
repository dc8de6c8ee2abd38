// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// Databases as colvo-mkrrd makes them ahead and colvo at first sight: one
// data source per value of the stream's type (counters as rates), two days
// at full resolution, then hourly averages and maxima for a year. Each is
// made under a temporary name beside it and renamed into place, so no
// reader or writer ever meets half a database; and the folders on its path
// that are missing are made first.
#pragma once

#include <cstddef>
#include <ctime>
#include <sys/types.h>

// Heartbeat in steps: three lost packets in a row still count.
enum { HEARTBEAT_STEPS = 4, FOLDER_MODE = 0755 };

// Who made files and folders are given to; change 0: whoever makes them.
struct file_owner {
    int change;
    uid_t uid;
    gid_t gid;
};

// The file name a data directory gives a stream, "/<prefix><argument>.rrd"
// with every "/" of the argument made "_", into buffer: 1, or 0 when it
// does not fit in room.
int make_rrd_file_name(char *buffer, int room, int type, const char *argument);
// The stream a data directory's file name stands for, "cpu0.rrd" for
// cpu(0): 1, or 0 for a name no type gives. A "_" of the argument may have
// been a "/".
int rrd_file_stream(const char *name, int *type, char *argument, size_t room);
// What to do about a file failing with this errno, in a few words.
const char *file_advice(int error);
// Makes each missing folder of the path (mode 0755), giving those it
// makes to the owner: 1, or 0 with errno set.
int make_folders(const char *path, const file_owner *to);
// Makes the database of a stream of the type, stepped every step seconds
// from start: 1, or 0 with why the reason and what to do.
int rrd_make(const char *file, int type, int step, time_t start, const file_owner *to, char *why,
             size_t room);
