// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// colvo's own figures: running totals since its start of the datagrams it
// received, took and dropped by reason, the database updates made and
// failed, the kernel's drops and the lines the live readers lost. One row
// per figure in a fixed table indexed by the figure's number; a new
// figure is a new row. The table is the form of the figures line colvo
// writes to the live socket and the help its exporter gives.
//
//   figures = "#colvo;" time ";" *(key "=" count ";") "\n"
//
// time is colvo's clock, the keys are the rows' in table order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>

enum figure {
    FIG_RECEIVED = 0,
    FIG_ACCEPTED,
    FIG_UNKNOWN_SENDER,
    FIG_BAD_CRC,
    FIG_OVERSIZED,
    FIG_VERSION,
    FIG_FUTURE,
    FIG_RRD_UPDATES,
    FIG_RRD_FAILURES,
    FIG_KERNEL_DROPS,
    FIG_FIFO_DROPPED,
    FIG_SOCKET_DROPPED,
    FIG_CLIENTS,
    FIG_CLIENTS_REFUSED,
    FIG_CLIENTS_DROPPED,
    // Keyed sources: datagrams refused by reason, and packets lost.
    FIG_SEQUENCE_JUMP,
    FIG_UNSIGNED,
    FIG_BAD_AUTHENTICATOR,
    FIG_BAD_MAC,
    FIG_REPLAYED,
    FIG_EARLIER_START,
    FIG_OFF_TIME,
    FIG_LOST,
    // Sources' patterns: streams refused past max files, databases made.
    FIG_STREAMS_REFUSED,
    FIG_FILES_MADE,
    FIGURE_COUNT,
};

// A figure as a key of the line and as an exported metric: rows of one
// metric follow each other and tell apart by one label.
struct figure_row {
    int id;
    const char *key;    // in the figures line
    const char *metric; // exported as colvo_daemon_<metric>, "_total" added for a counter
    const char *label;  // name=value told apart by, or null
    int gauge;          // 1: a level (clients now), 0: a running total
    const char *help;   // the metric's, the same in each of its rows
};

inline constexpr char FIGURES_MARK = '#';
inline constexpr char FIGURES_START[] = "#colvo;";

inline constexpr const char DROPPED_HELP[] =
    "datagrams colvo dropped since its start, by reason";
inline constexpr const char LINES_HELP[] =
    "lines colvo dropped since its start: at the FIFO, or for the live socket's clients";

inline constexpr const char REFUSED_HELP[] =
    "datagrams of sources with a key that colvo refused since its start, by reason";

inline constexpr figure_row FIGURE_ROWS[] = {
    {FIG_RECEIVED, "received", "datagrams_received", nullptr, 0,
     "datagrams colvo received since its start"},
    {FIG_ACCEPTED, "accepted", "datagrams_accepted", nullptr, 0,
     "datagrams of configured sources that passed the checks, since colvo's start"},
    {FIG_UNKNOWN_SENDER, "unknown_sender", "datagrams_dropped", "reason=\"unknown_sender\"", 0,
     DROPPED_HELP},
    {FIG_BAD_CRC, "bad_crc", "datagrams_dropped", "reason=\"bad_crc\"", 0, DROPPED_HELP},
    {FIG_OVERSIZED, "oversized", "datagrams_dropped", "reason=\"oversized\"", 0, DROPPED_HELP},
    {FIG_VERSION, "version", "datagrams_dropped", "reason=\"version\"", 0, DROPPED_HELP},
    {FIG_FUTURE, "future", "datagrams_unstored", nullptr, 0,
     "accepted datagrams stamped too far ahead of colvo's clock: shown, stored nowhere"},
    {FIG_RRD_UPDATES, "rrd_updates", "rrd_updates", nullptr, 0,
     "database updates made since colvo's start"},
    {FIG_RRD_FAILURES, "rrd_failures", "rrd_updates_failed", nullptr, 0,
     "database updates that failed since colvo's start"},
    {FIG_KERNEL_DROPS, "kernel_drops", "kernel_drops", nullptr, 0,
     "datagrams the kernel dropped for want of room in colvo's receive buffer (where it tells)"},
    {FIG_FIFO_DROPPED, "fifo_dropped", "lines_dropped", "at=\"fifo\"", 0, LINES_HELP},
    {FIG_SOCKET_DROPPED, "socket_dropped", "lines_dropped", "at=\"socket\"", 0, LINES_HELP},
    {FIG_CLIENTS, "clients", "live_clients", nullptr, 1, "clients of the live socket now"},
    {FIG_CLIENTS_REFUSED, "clients_refused", "live_clients_refused", nullptr, 0,
     "live socket clients refused since colvo's start, the table being full"},
    {FIG_CLIENTS_DROPPED, "clients_dropped", "live_clients_dropped", nullptr, 0,
     "live socket clients dropped since colvo's start for writing to it"},
    {FIG_SEQUENCE_JUMP, "sequence_jump", "datagrams_refused", "reason=\"sequence_jump\"", 0,
     REFUSED_HELP},
    {FIG_UNSIGNED, "unsigned", "datagrams_refused", "reason=\"unsigned\"", 0, REFUSED_HELP},
    {FIG_BAD_AUTHENTICATOR, "bad_authenticator", "datagrams_refused",
     "reason=\"bad_authenticator\"", 0, REFUSED_HELP},
    {FIG_BAD_MAC, "bad_mac", "datagrams_refused", "reason=\"bad_mac\"", 0, REFUSED_HELP},
    {FIG_REPLAYED, "replayed", "datagrams_refused", "reason=\"replayed\"", 0, REFUSED_HELP},
    {FIG_EARLIER_START, "earlier_start", "datagrams_refused", "reason=\"earlier_start\"", 0,
     REFUSED_HELP},
    {FIG_OFF_TIME, "off_time", "datagrams_refused", "reason=\"off_time\"", 0, REFUSED_HELP},
    {FIG_LOST, "lost", "packets_lost", nullptr, 0,
     "packets of sources with a key lost on the way (sequence numbers skipped) since colvo's start"},
    {FIG_STREAMS_REFUSED, "streams_refused", "streams_refused", nullptr, 0,
     "records of streams refused since colvo's start: their sources' patterns had taken max files"},
    {FIG_FILES_MADE, "files_made", "databases_made", nullptr, 0,
     "databases colvo made at first sight since its start"},
};

namespace figures_check {
constexpr bool same(const char *a, const char *b)
{
    while (*a && *a == *b)
        a++, b++;
    return *a == *b;
}

constexpr bool rows_in_order()
{
    int n = static_cast<int>(sizeof(FIGURE_ROWS) / sizeof(FIGURE_ROWS[0]));
    if (n != FIGURE_COUNT)
        return false;
    for (int i = 0; i < n; i++) {
        if (FIGURE_ROWS[i].id != i)
            return false;
        // A metric's rows are neighbours with one help and kind.
        for (int j = i + 2; j < n; j++)
            if (same(FIGURE_ROWS[i].metric, FIGURE_ROWS[j].metric) &&
                !same(FIGURE_ROWS[j - 1].metric, FIGURE_ROWS[j].metric))
                return false;
        if (i > 0 && same(FIGURE_ROWS[i - 1].metric, FIGURE_ROWS[i].metric) &&
            (!same(FIGURE_ROWS[i - 1].help, FIGURE_ROWS[i].help) ||
             FIGURE_ROWS[i - 1].gauge != FIGURE_ROWS[i].gauge || !FIGURE_ROWS[i].label ||
             !FIGURE_ROWS[i - 1].label))
            return false;
    }
    return true;
}
} // namespace figures_check

static_assert(figures_check::rows_in_order(),
              "row i is figure i, and the rows of one metric are neighbours with its help");

// The sources colvo is configured with, for its live readers, which tell a
// silent source from one that never was: on connect, after each reload,
// and once a minute after the figures line, in lines of their own.
//
//   sources = "#colvo-sources;" total ";" first ";" *(name ";") "\n"
//
// total is the count of sources in all, first the place among them of the
// line's first name: the lines of one telling follow each other from 0,
// each with up to SOURCES_LINE_NAMES bytes of names (one name at least).
inline constexpr char SOURCES_START[] = "#colvo-sources;";
enum { SOURCES_LINE_NAMES = 16384 };

// The lines telling the count names, allocated; their length in *length.
char *sources_lines(const char *const *names, int count, int *length);

typedef void (*source_taker)(void *context, const char *name, size_t length);
// Reads a sources line (newline excluded): gives total and first, and
// hands each name to take unless it is null; 0 when it is no sources line.
int sources_read(const char *line, size_t length, long *total, long *first, source_taker take,
                 void *context);

// The running totals, from colvo's start.
extern uint64_t colvo_figures[FIGURE_COUNT];

inline void figure_add(int f, uint64_t n = 1)
{
    colvo_figures[f] += n;
}

enum { FIGURES_LINE_MAX = 1024 };

// The figures line at now into buffer (FIGURES_LINE_MAX bytes); its length,
// newline included.
int figures_line(char *buffer, int size, time_t now);

// Reads a figures line (newline excluded) into values, by key; keys it
// does not know are passed over, and figures it lacks are left as they
// are. 1 when the line is one.
int figures_read(const char *line, size_t length, uint64_t *values);
