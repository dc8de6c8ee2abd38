// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// The catalogue's data sources, for colvo and its tools; the monitor does
// not link them.
#include "catalogue.h"

const data_source *stream_data_sources(int type, int *count)
{
    if (!stream_type_named(type))
        return nullptr;
    *count = catalogue::ROWS[type].source_count;
    return catalogue::ROWS[type].sources;
}
