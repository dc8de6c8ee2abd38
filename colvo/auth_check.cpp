// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// Checking the authenticator of a keyed source's datagram before any of its
// records is read, and following each such source's boot and sequence
// numbers: replays and packets of an earlier boot are refused, skipped
// numbers are counted as lost and summed up once a minute.
#include <climits>
#include <cstring>

#include "auth_check.h"

#include "error.h"
#include "figures.h"
#include "net.h"
#include "output.h"
#include "xmalloc.h"

time_t auth_last_summary;
time_t auth_started;

// Each refusal has its own message, so each is limited on its own, per
// source.
static int refuse(int figure, const source *src, const datagram *d, const char *format)
{
    figure_add(figure);
    numeric_name from;
    name_address(d->from, &from);
    limited_warning(src, format, from.host, from.service);
    return 0;
}

// Saturating: a key holder may jump its numbers by up to 2^64.
static void add_lost(long *count, uint64_t skipped)
{
    uint64_t room = static_cast<uint64_t>(LONG_MAX - *count);
    *count = skipped > room ? LONG_MAX : *count + static_cast<long>(skipped);
}

source_run *source_run_of(source *src)
{
    if (src->run == nullptr)
        src->run = xnew_record<source_run>();
    return src->run;
}

int check_authenticator(source *src, const datagram *d)
{
    source_run *st = source_run_of(src);
    authenticator a;
    switch (auth_verify(src->auth->key, d->bytes, d->header.length, d->length, &a)) {
    case AUTH_OK:
        break;
    case AUTH_MISSING:
        return refuse(FIG_UNSIGNED, src, d,
                      "ignored packet without authenticator from %.200s:%.200s");
    case AUTH_MALFORMED:
        return refuse(FIG_BAD_AUTHENTICATOR, src, d,
                      "ignored packet with bad authenticator from %.200s:%.200s");
    default:
        return refuse(FIG_BAD_MAC, src, d, "ignored packet with bad mac from %.200s:%.200s");
    }
    // Signed, so the time is the sender's: too far from ours, it would be
    // stored nowhere or lock its databases.
    // Unsigned: any 64-bit time compares without overflow.
    uint64_t t = d->header.timestamp, ours = static_cast<uint64_t>(log_clock(nullptr));
    int ahead = t > ours + AUTH_SKEW_MAX;
    if (ahead || (t < ours && ours - t > AUTH_SKEW_MAX)) {
        figure_add(FIG_OFF_TIME);
        numeric_name from;
        name_address(d->from, &from);
        limited_warning(src, "ignored packet from %.200s:%.200s: its time is %llu s %s ours",
                        from.host, from.service,
                        static_cast<unsigned long long>(ahead ? t - ours : ours - t),
                        ahead ? "ahead of" : "behind");
        return 0;
    }
    // Known neither from before colvo's start nor since: what is stamped
    // before that start may be a replay of what colvo took then.
    if (!st->seen && t < static_cast<uint64_t>(auth_started))
        return refuse(FIG_EARLIER_START, src, d,
                      "ignored packet from %.200s:%.200s: it is stamped before colvo's start");
    int same_boot = st->seen && memcmp(st->boot, a.boot, sizeof(a.boot)) == 0;
    if (same_boot && a.sequence <= st->highest)
        return refuse(FIG_REPLAYED, src, d, "ignored replayed packet from %.200s:%.200s");
    if (st->seen && !same_boot && d->header.timestamp <= st->last_time)
        return refuse(FIG_EARLIER_START, src, d,
                      "ignored packet of an earlier start from %.200s:%.200s");
    // A new start counts from 0: the numbers before this one were lost.
    // The first packet after our own start tells nothing of losses.
    uint64_t skipped = !st->seen ? 0 : same_boot ? a.sequence - st->highest - 1 : a.sequence;
    // No loss is that large: taken, it would have every later packet
    // refused as a replay.
    if (skipped > SEQUENCE_SKIP_MAX) {
        figure_add(FIG_SEQUENCE_JUMP);
        numeric_name from;
        name_address(d->from, &from);
        limited_warning(src, "ignored packet from %.200s:%.200s: it skips %llu sequence numbers",
                        from.host, from.service, static_cast<unsigned long long>(skipped));
        return 0;
    }
    add_lost(&st->lost, skipped);
    figure_add(FIG_LOST, skipped);
    memcpy(st->boot, a.boot, sizeof(st->boot));
    st->highest = a.sequence;
    st->last_time = d->header.timestamp;
    st->seen = 1;
    return 1;
}

static void tell_lost(const source *src, int seconds)
{
    warning("lost %ld packets from %.200s in the last %d s", src->run->lost, src->name, seconds);
    src->run->lost = 0;
}

// Only keyed sources hold running state: one keyed no more leaves it
// behind, with the running configuration.
void carry_source_runs(mux *fresh, mux *running)
{
    for (source *src = fresh->sources.first; src; src = src->next) {
        source *was = source_list_find(&running->sources, src->name);
        if (src->auth && was && was->run) {
            src->run = was->run;
            was->run = nullptr;
        }
    }
    int seconds = static_cast<int>(log_clock(nullptr) - auth_last_summary);
    for (const source *was = running->sources.first; was; was = was->next)
        if (was->run && was->run->lost)
            tell_lost(was, seconds);
}

void auth_summarise(const mux *m, int at_exit)
{
    time_t now = log_clock(nullptr);
    if (!at_exit && now - auth_last_summary < SUMMARY_INTERVAL &&
        now >= auth_last_summary)
        return;
    int seconds = static_cast<int>(now - auth_last_summary);
    for (const source *src = m ? m->sources.first : nullptr; src; src = src->next)
        if (src->run && src->run->lost)
            tell_lost(src, seconds);
    auth_last_summary = now;
}
