// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// The lookups over the value formats and the stream-type catalogue.
#include "types.h"

#include "error.h"

// What these lookups need of each catalogue row, taken out while
// compiling: the monitor then carries none of the catalogue's data sources,
// graphs and help texts (those lookups are catalogue.cpp's).
struct type_row {
    const char *keyword;
    const char *format;
    int token;
    int sent_as;
};

struct type_rows {
    type_row row[STREAM_TYPE_COUNT];
};

static constexpr type_rows take_rows()
{
    type_rows t = {};
    for (int i = 0; i < STREAM_TYPE_COUNT; i++) {
        const stream_row &r = catalogue::ROWS[i];
        t.row[i] = {r.keyword, r.format, r.token, r.sent_as};
    }
    return t;
}

static constexpr type_rows TYPES = take_rows();

static const type_row &row(int type)
{
    return TYPES.row[type];
}

static int named(int type)
{
    return type >= 0 && type < STREAM_TYPE_COUNT && row(type).keyword != nullptr;
}

int stream_type_from_token(int token)
{
    for (int type = 0; type < STREAM_TYPE_COUNT; type++)
        if (named(type) && row(type).token == token)
            return type;
    fatal("%s:%d: internal error: token (%d) could not be translated into a stream type",
          __FILE__, __LINE__, token);
}

int token_is_stream_type(int token)
{
    for (const type_row &r : TYPES.row)
        if (r.keyword && r.token == token)
            return 1;
    return 0;
}

const char *stream_type_name(int type)
{
    if (!named(type))
        fatal("%s:%d: internal error: type (%d) could not be translated into ascii "
              "representation",
              __FILE__, __LINE__, type);
    return row(type).keyword;
}

const char *stream_type_format(int type)
{
    return row(type).format;
}

int stream_type_text_width(int type)
{
    int width = 0;
    for (const char *f = stream_type_format(type); *f; f++)
        width += value_text_width(*f);
    return width;
}

int stream_type_byte_width(int type)
{
    int width = 0;
    for (const char *f = stream_type_format(type); *f; f++)
        width += value_byte_width(*f);
    return width;
}

int stream_send_type(int type)
{
    return type >= 0 && type < STREAM_TYPE_COUNT ? row(type).sent_as : type;
}

static const value_format *find_format(char id)
{
    return catalogue::format_of(id);
}

static const value_format *checked_format(char id, const char *file, int line)
{
    const value_format *v = find_format(id);
    if (v == nullptr)
        fatal("%s:%d: internal error: type spefication for stream var '%c' not found", file,
              line, id);
    return v;
}

const value_format *value_format_row(char id)
{
    return checked_format(id, __FILE__, __LINE__);
}

int value_byte_width(char id)
{
    return checked_format(id, __FILE__, __LINE__)->byte_width;
}

int value_text_width(char id)
{
    return checked_format(id, __FILE__, __LINE__)->text_width;
}

const char *value_field_format(char id)
{
    const value_format *v = find_format(id);
    if (v == nullptr)
        fatal("internal error: type spefication for stream var '%c' not found", id);
    return v->field_format;
}
