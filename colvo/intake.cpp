// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// Packet intake: a datagram is accepted only from a configured source
// address, with a whole header, a correct CRC-32 and a version below 3,
// and for a source with a key an authenticator that holds. The checks read
// the datagram where the kernel put it.
#include "intake.h"

#include "auth_check.h"
#include "crc32.h"
#include "error.h"
#include "figures.h"
#include "net.h"

enum { FIRST_UNSUPPORTED_VERSION = 3 };

// The sender's numeric texts are made only when a message needs them: the
// conversion costs more than the rest of the checks. Whoever can send from
// a source's address can repeat these warnings: they are limited per source.
static int check_datagram(const source *src, datagram *d)
{
    numeric_name from;
    // Too short for a header: nothing in it can be trusted.
    if (d->length < PACKET_HEADER_SIZE) {
        figure_add(FIG_BAD_CRC);
        name_address(d->from, &from);
        limited_warning(src, "ignored packet with bad crc from %.200s:%.200s", from.host,
                        from.service);
        return 0;
    }
    d->records = header_from_wire(d->bytes, &d->header);
    uint32_t sent_crc = d->header.crc;
    d->header.crc = 0;
    header_to_wire(d->bytes, &d->header);
    if (crc32_compute(d->bytes, static_cast<size_t>(d->length)) != sent_crc) {
        name_address(d->from, &from);
        figure_add(d->room < d->header.length ? FIG_OVERSIZED : FIG_BAD_CRC);
        if (d->room < d->header.length)
            limited_warning(src,
                            "ignored oversized packet from %.200s:%.200s; client and server have "
                            "different stream configurations",
                            from.host, from.service);
        else
            limited_warning(src, "ignored packet with bad crc from %.200s:%.200s", from.host,
                            from.service);
        return 0;
    }
    if (d->header.version >= FIRST_UNSUPPORTED_VERSION) {
        figure_add(FIG_VERSION);
        name_address(d->from, &from);
        limited_warning(src, "ignored packet with unsupported version %d from %.200s:%.200s",
                        d->header.version, from.host, from.service);
        return 0;
    }
    if (debug_mode) {
        name_address(d->from, &from);
        debug("good data received from %.200s:%.200s", from.host, from.service);
    }
    return 1;
}

int accept_datagram(const mux *m, datagram *d, source **src)
{
    figure_add(FIG_RECEIVED);
    *src = source_list_find_by_address(&m->sources, d->from);
    if (*src == nullptr) {
        figure_add(FIG_UNKNOWN_SENDER);
        if (debug_mode) {
            numeric_name from;
            name_address(d->from, &from);
            debug("ignored data from %.200s:%.200s", from.host, from.service);
        }
        return 0;
    }
    // With thousands of sources its records are not in the cache: they
    // come while the CRC is computed.
    source_prefetch_streams(*src);
    int accepted = check_datagram(*src, d);
    if (accepted && (*src)->auth)
        accepted = check_authenticator(*src, d);
    if (accepted)
        figure_add(FIG_ACCEPTED);
    return accepted;
}
