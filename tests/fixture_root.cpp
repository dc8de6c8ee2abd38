// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// Linked into a test build of the monitor only: points the stand-in at the
// fixture tree PROBO_FIXTURE_ROOT names before the monitor starts, so the
// real program measures FreeBSD's figures from that tree. The monitor that
// is installed has no such thing.
#include <cstdlib>

#include "standin.h"

__attribute__((constructor)) static void point_at_fixture_tree()
{
    if (const char *root = getenv("PROBO_FIXTURE_ROOT"))
        standin_set_root(root);
}
