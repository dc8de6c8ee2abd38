// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// The graph table's lookup.
#include "graph_table.h"

const graph_def *stream_graphs(int type, int *count)
{
    if (!stream_type_named(type))
        return nullptr;
    *count = graph_table::ROWS[type].count;
    return graph_table::ROWS[type].graphs;
}
