// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// Output of one accepted packet: each accepted stream is appended to the
// FIFO line in the churn buffer and stored in its round-robin database; the
// line is queued for the FIFO, where it goes whole. The walk over the records never reads past
// the bytes received, and a line never outgrows its buffer: an entry that
// does not fit ends the line there, newline kept, and is not stored.
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <unistd.h>

#include "output.h"

#include "error.h"
#include "fifoline.h"
#include "figures.h"
#include "live.h"
#include "types.h"
#include "whole_lines.h"
#include "xmalloc.h"

// The bytes the FIFO holds, where the system tells (Linux); 0 elsewhere.
#ifdef F_GETPIPE_SZ
static int fifo_capacity(int fd)
{
    int size = fcntl(fd, F_GETPIPE_SZ);
    return size > 0 ? size : 0;
}
#else
static int fifo_capacity(int)
{
    return 0;
}
#endif

static void fifo_init(fifo_writer *w, int fd)
{
    w->fd = fd;
    int capacity = fifo_capacity(fd);
    w->write_limit = (capacity > 0 ? capacity : FIFO_CAPACITY_MIN) / FIFO_WRITE_SHARE;
    if (w->write_limit < PIPE_BUF)
        w->write_limit = PIPE_BUF;
    w->batch.text = static_cast<char *>(xmalloc(static_cast<size_t>(w->write_limit)));
}

void output_init(output_state *out, int fifo)
{
    memset(out, 0, sizeof(*out));
    fifo_init(&out->fifo, fifo);
    const char *cache = getenv("RRDCACHED_ADDRESS");
    out->through_cache = cache && cache[0];
}

// Writes what is left of a line taken in part; 1 once nothing is left.
static int write_rest(fifo_writer *w)
{
    if (w->pending_length == 0)
        return 1;
    ssize_t n = write(w->fd, w->pending, static_cast<size_t>(w->pending_length));
    if (n > 0) {
        w->pending_length -= static_cast<int>(n);
        memmove(w->pending, w->pending + n, static_cast<size_t>(w->pending_length));
    }
    return w->pending_length == 0;
}

static void dropped(fifo_writer *w, int lines)
{
    debug("write is short -- no client listening?");
    w->dropped += lines;
    figure_add(FIG_FIFO_DROPPED, static_cast<uint64_t>(lines));
}

static void keep_rest(fifo_writer *w, const char *rest, int length)
{
    if (length > w->pending_size) {
        w->pending = static_cast<char *>(xrealloc(w->pending, static_cast<size_t>(length)));
        w->pending_size = length;
    }
    memcpy(w->pending, rest, static_cast<size_t>(length));
    w->pending_length = length;
}

// Whole lines in one write. The FIFO takes all, nothing, or (past
// PIPE_BUF) a part: then the line it stopped in keeps its rest for the
// next write, and the lines after it, not taken at all, are dropped.
static void write_lines(fifo_writer *w, const char *text, int length, int lines)
{
    // Behind a rest still waiting, a line would be torn from its start.
    ssize_t n = write_rest(w) ? write(w->fd, text, static_cast<size_t>(length)) : -1;
    if (n >= length)
        return;
    if (n <= 0) {
        dropped(w, lines);
        return;
    }
    int written = static_cast<int>(n);
    int rest = cut_line_rest(text, length, written);
    if (rest)
        keep_rest(w, text + written, rest);
    long lost = count_lines(text + written + rest, length - written - rest);
    if (lost)
        dropped(w, static_cast<int>(lost));
}

void fifo_flush(fifo_writer *w)
{
    line_batch *b = &w->batch;
    if (b->length == 0)
        return;
    // The live clients get the same batch of whole lines.
    live_send(w->live, b->text, b->length);
    write_lines(w, b->text, b->length, b->lines);
    b->length = 0;
    b->lines = 0;
}

const timespec *fifo_wait(fifo_writer *w, timespec *left)
{
    if (w->batch.length == 0)
        return nullptr;
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    long long waited = (now.tv_sec - w->batch.started.tv_sec) * 1000000000LL +
                       (now.tv_nsec - w->batch.started.tv_nsec);
    long long rest = waited < 0 || waited >= FIFO_DELAY_NS ? 0 : FIFO_DELAY_NS - waited;
    left->tv_sec = 0;
    left->tv_nsec = static_cast<long>(rest);
    return left;
}

void fifo_queue_line(fifo_writer *w, const char *line, int length)
{
    line_batch *b = &w->batch;
    if (b->length + length > w->write_limit)
        fifo_flush(w);
    if (length > w->write_limit) {
        live_send(w->live, line, length);
        write_lines(w, line, length, 1);
        return;
    }
    if (b->length == 0)
        clock_gettime(CLOCK_MONOTONIC, &b->started);
    memcpy(b->text + b->length, line, static_cast<size_t>(length));
    b->length += length;
    b->lines++;
    // A line past PIPE_BUF is worth a write of its own: it goes at once,
    // with the lines queued before it.
    if (length > PIPE_BUF)
        fifo_flush(w);
}

static char RRD_ARG0[] = "rrdupdate";
static char RRD_ARG1[] = "--";

// Through rrdcached, a connection the cache dropped while idle (restarted
// between two updates) fails one update before the library connects anew:
// a failure right after a success there is tried once more.
static int update(char **argv, output_state *out)
{
    for (int tries = 0;; tries++) {
        optind = 0;
        rrd_backend_current->update(4, argv);
        if (!rrd_backend_current->test_error()) {
            out->cache_answered = out->through_cache;
            return 1;
        }
        if (tries > 0 || !out->cache_answered)
            return 0;
        out->cache_answered = 0;
        rrd_backend_current->clear_error();
    }
}

// A database missing where the source's section says create is made, and
// the update tried again; why tells a failure to make it.
static int update_or_make(char **argv, const source *src, const stream *accepted, time_t stamp,
                          output_state *out, char *why, size_t room)
{
    if (update(argv, out))
        return 1;
    int made = make_database(src, accepted, stamp, why, room);
    if (made < 0) {
        why[0] = '\0';
        return 0;
    }
    rrd_backend_current->clear_error();
    return made && update(argv, out);
}

static void store(const source *src, const stream *accepted, char *update_text, time_t stamp,
                  output_state *out)
{
    char *argv[] = {RRD_ARG0, RRD_ARG1, accepted->rrd_file, update_text, nullptr};
    // Not limited per source: the failures are the files', counted apart.
    char why[FAILURE_REASON];
    if (update_or_make(argv, src, accepted, stamp, out, why, sizeof(why))) {
        figure_add(FIG_RRD_UPDATES);
        debug("%.200s %.200s %.200s %.200s", argv[0], argv[1], argv[2], argv[3]);
        rrd_success(&out->failures, accepted->rrd_file);
    } else {
        figure_add(FIG_RRD_FAILURES);
        const char *reason = why[0] ? why : rrd_backend_current->get_error();
        int told = 0;
        if (out->rrd_errors < RRD_ERRORS_REPORTED) {
            out->rrd_errors++;
            if (why[0]) {
                warning("cannot create %.200s: %.200s", argv[2], why);
            } else {
                warning("rrd_update:%.200s", reason);
                warning("%.200s %.200s %.200s %.200s", argv[0], argv[1], argv[2], argv[3]);
            }
            if (out->rrd_errors == RRD_ERRORS_REPORTED)
                warning("maximum rrd errors reached - will stop reporting them");
            told = 1;
        }
        if (!rrd_failure(&out->failures, accepted->rrd_file, reason, told))
            out->rrd_failed++;
        rrd_backend_current->clear_error();
    }
}

static void summarise(output_state *out, time_t now)
{
    int seconds = static_cast<int>(now - out->last_summary);
    if (out->fifo.dropped)
        warning("%ld lines dropped at the fifo in the last %d s - no client reading?",
                out->fifo.dropped, seconds);
    if (out->rrd_failed)
        warning("%ld more rrd updates failed in the last %d s", out->rrd_failed, seconds);
    if (out->socket_dropped)
        warning("%ld packets dropped by the kernel in the last %d s - receive buffer full",
                out->socket_dropped, seconds);
    live_server *live = out->fifo.live;
    if (live && live->dropped)
        warning("%ld lines dropped at the live socket in the last %d s - clients not reading?",
                live->dropped, seconds);
    rrd_failures_summarise(&out->failures, seconds);
    if (live)
        live->dropped = 0;
    out->fifo.dropped = 0;
    out->rrd_failed = 0;
    out->socket_dropped = 0;
    out->last_summary = now;
}

// The losses that have no message each, at most once per interval.
void output_summarise(output_state *out)
{
    time_t now = log_clock(nullptr);
    if (now - out->last_summary < SUMMARY_INTERVAL && now >= out->last_summary)
        return;
    summarise(out, now);
    // The live readers' figures, after the lines they count.
    fifo_flush(&out->fifo);
    live_send_figures(out->fifo.live);
}

void output_finish(output_state *out)
{
    fifo_flush(&out->fifo);
    live_finish(out->fifo.live);
    summarise(out, log_clock(nullptr));
    rrd_failures_free(&out->failures);
    sightings_clear(&out->taken);
    fifo_writer *w = &out->fifo;
    xfree(w->batch.text);
    w->batch = {};
    xfree(w->pending);
    w->pending = nullptr;
    w->pending_size = 0;
    w->pending_length = 0;
}

static void ignore(const unpacked_stream *u, const source *src)
{
    if (!debug_mode)
        return;
    // A type without keyword is named by its number.
    char number[16];
    snprintf(number, sizeof(number), "%d", u->type);
    debug("ignored unaccepted stream %.16s(%.16s) from %.20s",
          stream_type_named(u->type) ? stream_type_name(u->type) : number,
          u->argument[0] ? u->argument : "0", src->name);
}

void process_packet(const source *src, const datagram *d, char *churnbuffer, int churn_size,
                    output_state *out)
{
    const packet_header *h = &d->header;
    time_t now = log_clock(nullptr);
    int storable = h->timestamp <= static_cast<uint64_t>(now) + FUTURE_SKEW_MAX;
    if (!storable) {
        figure_add(FIG_FUTURE);
        limited_warning(src, "not storing data from %.200s: its time is %llu s ahead of ours",
                        src->name,
                        static_cast<unsigned long long>(h->timestamp - static_cast<uint64_t>(now)));
    }

    line_writer w;
    line_begin(&w, churnbuffer, churn_size, src->name, src);
    char stamp[16];
    snprintf(stamp, sizeof(stamp), "%u", static_cast<unsigned>(h->timestamp));

    // The header's length, but never past what arrived.
    int end = h->length < d->length ? h->length : d->length;
    int offset = d->records;
    while (offset < end) {
        unpacked_stream u;
        int used;
        if (h->version == 2) {
            used = unpack_stream_v2(d->bytes + offset, end - offset, &u, src);
        } else if (h->version == 1) {
            used = unpack_stream_v1(d->bytes + offset, end - offset, &u, src);
        } else {
            debug("unsupported packet version - ignoring data");
            break;
        }
        if (used <= 0)
            break;
        offset += used;

        const stream *accepted = source_find_stream(src, u.type, u.argument);
        if (accepted == nullptr && src->rules && src->rules->patterns.first)
            accepted = sighted_stream(&out->taken, src, u.type, u.argument, now);
        if (accepted == nullptr) {
            ignore(&u, src);
            continue;
        }
        // The database gets the entry's tail: what the FIFO shows is stored.
        char *update_text = line_entry(&w, stream_type_name(u.type), u.argument, stamp, &u);
        // Only a packet that repeats accepted streams runs out of room.
        if (update_text == nullptr)
            break;
        if (accepted->rrd_file && storable)
            store(src, accepted, update_text, static_cast<time_t>(h->timestamp), out);
        line_entry_end(&w);
    }
    int length = line_finish(&w);
    fifo_queue_line(&out->fifo, churnbuffer, length);
    debug("churnbuffer used: %d", length);
}
