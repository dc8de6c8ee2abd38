// Output of one accepted packet: each accepted stream is appended to the
// FIFO line in the churn buffer and stored in its round-robin database; the
// line goes into the FIFO in one write. The walk over the records never
// reads past the bytes received.
#include <cstdio>
#include <cstring>
#include <unistd.h>

#include "colvo.h"
#include "error.h"
#include "types.h"

// Appending with the room left; the room shrinks by what was appended.
struct line_writer {
    char *start;
    int size;
    int used;
};

static char *line_end(line_writer *w)
{
    return w->start + w->used;
}

static void line_text(line_writer *w, const char *text)
{
    int room = w->size - w->used;
    int n = static_cast<int>(strnlen(text, static_cast<size_t>(room > 0 ? room : 0)));
    if (n >= room)
        n = room - 1;
    if (n < 0)
        return;
    memcpy(line_end(w), text, static_cast<size_t>(n));
    w->used += n;
    *line_end(w) = '\0';
}

static char RRD_ARG0[] = "rrdupdate";
static char RRD_ARG1[] = "--";

static void store(const stream *accepted, char *update_text, int *rrd_errors)
{
    char *argv[] = {RRD_ARG0, RRD_ARG1, accepted->rrd_file, update_text, nullptr};
    optind = 0;
    rrd_backend_current->update(4, argv);
    if (rrd_backend_current->test_error()) {
        if (*rrd_errors < RRD_ERRORS_REPORTED) {
            (*rrd_errors)++;
            warning("rrd_update:%.200s", rrd_backend_current->get_error());
            warning("%.200s %.200s %.200s %.200s", argv[0], argv[1], argv[2], argv[3]);
            if (*rrd_errors == RRD_ERRORS_REPORTED)
                warning("maximum rrd errors reached - will stop reporting them");
        }
        rrd_backend_current->clear_error();
    } else {
        debug("%.200s %.200s %.200s %.200s", argv[0], argv[1], argv[2], argv[3]);
    }
}

void process_packet(mux *m, const source *src, int received, char *churnbuffer, int churn_size,
                    int fifo, int *rrd_errors)
{
    line_writer w = {churnbuffer, churn_size, 0};
    line_text(&w, src->name);
    line_text(&w, ";");
    char stamp[16];
    snprintf(stamp, sizeof(stamp), "%u", static_cast<unsigned>(m->header.timestamp));

    // The header's length, but never past what arrived or the buffer.
    int end = m->header.length;
    if (end > received)
        end = received;
    if (end > m->packet_size)
        end = m->packet_size;

    int offset = m->offset;
    while (offset < end) {
        unpacked_stream u;
        int used;
        if (m->header.version == 2) {
            used = unpack_stream_v2(m->packet + offset, end - offset, &u);
        } else if (m->header.version == 1) {
            used = unpack_stream_v1(m->packet + offset, end - offset, &u);
        } else {
            debug("unsupported packet version - ignoring data");
            break;
        }
        if (used <= 0)
            break;
        offset += used;

        const stream *accepted = source_find_stream(src, u.type, u.argument);
        if (accepted == nullptr) {
            if (debug_mode) {
                // Type 18 has no keyword: name it by its number.
                char number[16];
                snprintf(number, sizeof(number), "%d", u.type);
                debug("ignored unaccepted stream %.16s(%.16s) from %.20s",
                      u.type == STREAM_ALLFORMATS ? number : stream_type_name(u.type),
                      u.argument[0] ? u.argument : "0", src->name);
            }
            continue;
        }
        line_text(&w, stream_type_name(u.type));
        line_text(&w, ":");
        line_text(&w, u.argument);
        line_text(&w, ":");
        char *update_text = line_end(&w);
        line_text(&w, stamp);
        int room = w.size - w.used;
        if (room > 0) {
            render_stream(&u, line_end(&w), room, RENDER_FIELDS);
            w.used += static_cast<int>(strlen(line_end(&w)));
        }
        // The update text runs from the timestamp to the end of the line.
        if (accepted->rrd_file)
            store(accepted, update_text, rrd_errors);
        line_text(&w, ";");
    }
    line_text(&w, "\n");
    ssize_t written = write(fifo, churnbuffer, static_cast<size_t>(w.used));
    if (written < w.used)
        debug("write is short -- no client listening?");
    debug("churnbuffer used: %d", w.used);
}
