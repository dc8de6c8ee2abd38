// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// Writing the FIFO line, and the room a line takes.
#include "fifoline.h"

#include <cstring>

#include "types.h"

int line_host_room(const char *host)
{
    return static_cast<int>(strlen(host)) + 1;
}

int line_entry_room(int type, const char *argument)
{
    return static_cast<int>(strlen(stream_type_name(type)) + strlen(argument)) +
           stream_type_text_width(type) + LINE_ENTRY_OVERHEAD;
}

// A value's field text is a field of the line and of the update text.
static constexpr bool fields_start_with_the_separator()
{
    for (const value_format *v = catalogue::VALUE_FORMATS; v->id != '\0'; v++)
        if (v->field_format[0] != LINE_FIELD)
            return false;
    return true;
}
static_assert(fields_start_with_the_separator(), "a field text begins with the line's separator");

static char *line_at(line_writer *w)
{
    return w->start + w->used;
}

// 0 when the text would leave no room for the newline and terminator.
static int append(line_writer *w, const char *text, int length)
{
    if (buffer_would_overflow(w->size - 1, w->used, length + 1, w->log_owner))
        return 0;
    memcpy(line_at(w), text, static_cast<size_t>(length));
    w->used += length;
    *line_at(w) = '\0';
    return 1;
}

static int append_text(line_writer *w, const char *text)
{
    return append(w, text, static_cast<int>(strlen(text)));
}

static int append_char(line_writer *w, char c)
{
    return append(w, &c, 1);
}

void line_begin(line_writer *w, char *buffer, int size, const char *host, const void *log_owner)
{
    *w = {buffer, size, 0, log_owner};
    append_text(w, host);
    append_char(w, LINE_HOST_END);
}

char *line_entry(line_writer *w, const char *type_name, const char *argument,
                 const char *timestamp, const unpacked_stream *values)
{
    int entry = w->used;
    char *update = nullptr;
    if (append_text(w, type_name) && append_char(w, LINE_FIELD) && append_text(w, argument) &&
        append_char(w, LINE_FIELD)) {
        update = line_at(w);
        int n = append_text(w, timestamp)
                    ? render_stream(values, line_at(w), w->size - 1 - w->used, RENDER_FIELDS,
                                    w->log_owner)
                    : 0;
        w->used += n;
        // The entry's end must fit behind the values.
        if (n == 0 || buffer_would_overflow(w->size - 1, w->used, 2, w->log_owner))
            update = nullptr;
    }
    if (update == nullptr) {
        w->used = entry;
        *line_at(w) = '\0';
    }
    return update;
}

void line_entry_end(line_writer *w)
{
    append_char(w, LINE_ENTRY_END);
}

int line_finish(line_writer *w)
{
    w->start[w->used++] = LINE_END;
    return w->used;
}
