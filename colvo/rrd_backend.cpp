// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// The database backend used by the daemon: RRDtool's library.
#include <rrd.h>

#include "rrd_backend.h"

static int librrd_update(int argc, char **argv)
{
    return rrd_update(argc, argv);
}

static const char *librrd_get_error()
{
    return rrd_get_error();
}

const rrd_backend librrd_backend = {librrd_update, rrd_test_error, librrd_get_error,
                                    rrd_clear_error};
const rrd_backend *rrd_backend_current = &librrd_backend;
