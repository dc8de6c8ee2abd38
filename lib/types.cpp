// The lookups over the value formats and the stream-type catalogue.
#include "types.h"

#include "error.h"

static const stream_row &row(int type)
{
    return catalogue::ROWS[type];
}

int stream_type_from_token(int token)
{
    for (const stream_row &r : catalogue::ROWS)
        if (r.keyword && r.token == token)
            return r.type;
    fatal("%s:%d: internal error: token (%d) could not be translated into a stream type",
          __FILE__, __LINE__, token);
}

int token_is_stream_type(int token)
{
    for (const stream_row &r : catalogue::ROWS)
        if (r.keyword && r.token == token)
            return 1;
    return 0;
}

const char *stream_type_name(int type)
{
    if (!stream_type_named(type))
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
    return catalogue::in_range(type) ? row(type).sent_as : type;
}

const data_source *stream_data_sources(int type, int *count)
{
    if (!stream_type_named(type))
        return nullptr;
    *count = row(type).source_count;
    return row(type).sources;
}

const graph_def *stream_graphs(int type, int *count)
{
    if (!stream_type_named(type))
        return nullptr;
    *count = row(type).graph_count;
    return row(type).graphs;
}

static const value_format *find_format(char id)
{
    for (const value_format *v = catalogue::VALUE_FORMATS; v->id != '\0'; v++)
        if (v->id == id)
            return v;
    return nullptr;
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

const char *value_pretty_format(char id)
{
    return checked_format(id, __FILE__, __LINE__)->pretty_format;
}

const char *value_field_format(char id)
{
    const value_format *v = find_format(id);
    if (v == nullptr)
        fatal("internal error: type spefication for stream var '%c' not found", id);
    return v->field_format;
}
