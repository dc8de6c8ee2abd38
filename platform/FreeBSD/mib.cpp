// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// Sysctls resolved once and read by their numbers.
#include "mib.h"

#include <cstdint>

int mib_resolve(const char *name, mib *m)
{
    m->length = CTL_MAXNAME;
    if (sysctlnametomib(name, m->name, &m->length) != 0) {
        m->length = 0;
        return 0;
    }
    return 1;
}

int mib_read(const mib *m, void *value, size_t *size)
{
    return sysctl(m->name, static_cast<u_int>(m->length), value, size, nullptr, 0);
}

int mib_read_unsigned(const mib *m, uint64_t *value)
{
    union {
        uint32_t narrow;
        uint64_t wide;
    } v = {};
    size_t size = sizeof(v);
    if (m->length == 0 || mib_read(m, &v, &size) != 0)
        return 0;
    if (size == sizeof(v.wide))
        *value = v.wide;
    else if (size == sizeof(v.narrow))
        *value = v.narrow;
    else
        return 0;
    return 1;
}
