// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// The replay state: what colvo knows of each keyed source (boot, highest
// sequence number, last time) kept across its restarts in a small text
// file, so that a packet it took before is not taken again after:
//
//   "colvo replay state 1" LF
//   *( source SP boot SP highest SP last-time LF )   boot: 16 hex digits
//   "end" SP count SP crc LF                         crc: 8 hex digits
//
// the CRC-32 over everything before the "end" line. colvo may not create
// files once it has given up root, so the file is opened at start and
// rewritten in place, in one write from its start, then cut to length: a
// write torn or cut short fails the count or the check, and a damaged file
// counts as none.
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "replay_state.h"

#include "auth_check.h"
#include "codec.h"
#include "crc32.h"
#include "error.h"
#include "keyfile.h"
#include "output.h"
#include "xmalloc.h"

static const char HEADER[] = "colvo replay state 1\n";
static const char END[] = "\nend ";

enum {
    // Far beyond any configuration: a larger file is not ours.
    REPLAY_FILE_MAX = 16 * 1024 * 1024,
    // A line's room beside the source's name: boot, two numbers, spaces.
    ENTRY_ROOM = 2 * AUTH_BOOT_SIZE + 2 * 20 + 4,
    // A source's name is a numeric address, IPv6 with a zone at most.
    NAME_ROOM = 128,
};

// A decimal number ending at a space or the line's end; 0 when none.
static int read_number(const char **at, const char *end, uint64_t *n)
{
    const char *p = *at;
    *n = 0;
    for (; p < end && *p >= '0' && *p <= '9'; p++) {
        if (*n > (UINT64_MAX - static_cast<uint64_t>(*p - '0')) / 10)
            return 0;
        *n = *n * 10 + static_cast<uint64_t>(*p - '0');
    }
    if (p == *at || (p < end && *p != ' '))
        return 0;
    *at = p < end ? p + 1 : p;
    return 1;
}

// One line, without its newline, into the keyed source it names (m null:
// only checked); a source no longer keyed or configured is passed over. 0
// when malformed.
static int take_entry(mux *m, const char *line, const char *end)
{
    const char *space = static_cast<const char *>(memchr(line, ' ', static_cast<size_t>(end - line)));
    if (space == nullptr || space == line || space - line >= NAME_ROOM || end - space < 2 * AUTH_BOOT_SIZE + 2)
        return 0;
    uint8_t boot[AUTH_BOOT_SIZE];
    const char *p = space + 1 + 2 * AUTH_BOOT_SIZE;
    if (!hex_bytes(space + 1, boot, AUTH_BOOT_SIZE))
        return 0;
    uint64_t highest, last_time;
    if (*p++ != ' ' || !read_number(&p, end, &highest) || !read_number(&p, end, &last_time) || p != end)
        return 0;
    if (m == nullptr)
        return 1;
    char name[NAME_ROOM];
    memcpy(name, line, static_cast<size_t>(space - line));
    name[space - line] = '\0';
    source *src = source_list_find(&m->sources, name);
    if (src == nullptr || src->auth == nullptr)
        return 1;
    source_run *st = source_run_of(src);
    memcpy(st->boot, boot, sizeof(boot));
    st->highest = highest;
    st->last_time = last_time;
    st->seen = 1;
    return 1;
}

// Checks the whole text first, then takes its entries: a damaged file
// changes nothing. Null, or what is wrong with it.
static const char *take_state(mux *m, const char *text, size_t length)
{
    size_t header = sizeof(HEADER) - 1;
    if (length < header || memcmp(text, HEADER, header) != 0)
        return "no header";
    const char *end_line = nullptr;
    for (const char *p = text + header - 1; p + sizeof(END) - 1 <= text + length; p++)
        if (memcmp(p, END, sizeof(END) - 1) == 0) {
            end_line = p + 1;
            break;
        }
    if (end_line == nullptr)
        return "no end line";
    const char *p = end_line + sizeof(END) - 2, *stop = text + length;
    uint64_t count = 0;
    if (!read_number(&p, stop, &count))
        return "no count";
    uint8_t check[4];
    if (stop - p < 9 || !hex_bytes(p, check, 4) || p[8] != '\n')
        return "no check";
    uint32_t crc = decode_fixed32(check);
    if (crc != crc32_compute(reinterpret_cast<const uint8_t *>(text),
                             static_cast<size_t>(end_line - text)))
        return "wrong check";
    uint64_t lines = 0;
    for (const char *q = text + header; q < end_line; q++)
        lines += *q == '\n';
    if (lines != count)
        return "wrong count";
    for (int pass = 0; pass < 2; pass++)
        for (const char *line = text + header; line < end_line;) {
            const char *nl = static_cast<const char *>(memchr(line, '\n', static_cast<size_t>(end_line - line)));
            if (!take_entry(pass ? m : nullptr, line, nl))
                return "a malformed line";
            line = nl + 1;
        }
    return nullptr;
}

static int keyed_sources(const mux *m)
{
    int n = 0;
    for (const source *src = m->sources.first; src; src = src->next)
        n += src->auth != nullptr;
    return n;
}

// The text of the file of size bytes; null when it is empty or larger
// than any of ours.
static char *read_text(int fd, off_t size, size_t *length, const char **wrong)
{
    if (size == 0)
        return nullptr;
    if (size > REPLAY_FILE_MAX) {
        *wrong = "too large";
        return nullptr;
    }
    size_t want = static_cast<size_t>(size), got = 0;
    char *text = static_cast<char *>(xmalloc(want));
    while (got < want) {
        ssize_t n = pread(fd, text + got, want - got, static_cast<off_t>(got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += static_cast<size_t>(n);
    }
    *length = got;
    return text;
}

void replay_state_open(replay_state *r, const char *path, mux *m, int keep)
{
    r->path = path;
    r->written = log_clock(nullptr);
    r->failing = 0;
    r->entries = -1;
    r->fd = keep ? open(path, O_RDWR | O_CREAT | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC, 0600)
                 : open(path, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    struct stat st;
    if (r->fd >= 0 && (fstat(r->fd, &st) != 0 || !S_ISREG(st.st_mode))) {
        close(r->fd);
        r->fd = -1;
        errno = EINVAL;
    }
    if (r->fd < 0 && (keep || errno != ENOENT))
        warning("cannot keep replay state in '%.200s': %.200s", path, strerror(errno));
    size_t length = 0;
    const char *wrong = nullptr;
    char *text = r->fd >= 0 ? read_text(r->fd, st.st_size, &length, &wrong) : nullptr;
    if (text) {
        wrong = take_state(m, text, length);
        xfree(text);
    }
    if (r->fd >= 0 && !keep) {
        close(r->fd);
        r->fd = -1;
    }
    // Without keys nothing is lost, and nothing need be said.
    if (keyed_sources(m) == 0 || (r->fd < 0 && keep))
        return;
    if (wrong)
        warning("replay state '%.200s' is damaged (%s): packets of keyed sources stamped before "
                "colvo's start are refused",
                path, wrong);
    else if (length == 0)
        warning("no replay state in '%.200s': packets of keyed sources stamped before colvo's "
                "start are refused",
                path);
}

void replay_state_save(replay_state *r, const mux *m, int at_exit)
{
    time_t now = log_clock(nullptr);
    if (r->fd < 0 || (!at_exit && now - r->written < SUMMARY_INTERVAL && now >= r->written))
        return;
    r->written = now;
    int count = 0;
    size_t room = sizeof(HEADER) + sizeof(END) + 32;
    for (const source *src = m->sources.first; src; src = src->next)
        if (src->run && src->run->seen) {
            count++;
            room += strlen(src->name) + ENTRY_ROOM;
        }
    // An empty state once written stays so.
    if (count == 0 && r->entries == 0)
        return;
    char *text = static_cast<char *>(xmalloc(room));
    size_t used = static_cast<size_t>(snprintf(text, room, "%s", HEADER));
    for (const source *src = m->sources.first; src; src = src->next) {
        const source_run *st = src->run;
        if (st == nullptr || !st->seen)
            continue;
        used += static_cast<size_t>(snprintf(text + used, room - used, "%s ", src->name));
        for (uint8_t b : st->boot)
            used += static_cast<size_t>(snprintf(text + used, room - used, "%02x", b));
        used += static_cast<size_t>(snprintf(text + used, room - used, " %" PRIu64 " %" PRIu64 "\n",
                                             st->highest, st->last_time));
    }
    uint32_t crc = crc32_compute(reinterpret_cast<const uint8_t *>(text), used);
    used += static_cast<size_t>(snprintf(text + used, room - used, "end %d %08" PRIx32 "\n", count, crc));
    ssize_t n = pwrite(r->fd, text, used, 0);
    xfree(text);
    if (n != static_cast<ssize_t>(used) || ftruncate(r->fd, static_cast<off_t>(used)) != 0) {
        if (!r->failing)
            warning("cannot write replay state '%.200s': %.200s", r->path,
                    n < 0 || n == static_cast<ssize_t>(used) ? strerror(errno) : "written in part");
        r->failing = 1;
        return;
    }
    r->failing = 0;
    r->entries = count;
}
