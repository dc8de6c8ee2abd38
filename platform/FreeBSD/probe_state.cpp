// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
#include "probe_state.h"

#include "lists.h"
#include "xmalloc.h"

probe_states *stream_probe_state(stream *s)
{
    if (s->probe_state == nullptr)
        s->probe_state = static_cast<probe_states *>(xzalloc(sizeof(probe_states)));
    return s->probe_state;
}
