#include "types.h"

#include "error.h"
#include "lexer.h"

const value_format value_formats[] = {
    {'L', ":%llu", " %20llu", 22, 8, 18446744073709551615ULL},
    {'D', ":%7.6f", " %7.6f", 23, 8, 18446744073709551615ULL},
    {'l', ":%lu", " %10lu", 12, 4, 4294967295ULL},
    {'s', ":%u", " %5u", 7, 2, 65535},
    {'c', ":%3.2f", " %3.2f", 8, 2, 100},
    {'b', ":%u", " %3u", 5, 1, 255},
    {'\0', nullptr, nullptr, 0, 0, 0},
};

const type_format_row stream_type_formats[] = {
    {STREAM_IO1, "LLL"},
    {STREAM_CPU, "ccccc"},
    {STREAM_MEM1, "lllll"},
    {STREAM_IF1, "llllllllll"},
    {STREAM_PF, "LLLLLLLLLLLLLLLLLLLLLL"},
    {STREAM_DEBUG, "llllllllllllllllllll"},
    {STREAM_PROC, "lLLLlcll"},
    {STREAM_MBUF, "lllllllllllllll"},
    {STREAM_SENSOR, "D"},
    {STREAM_IO, "LLLLL"},
    {STREAM_PFQ, "LLLL"},
    {STREAM_DF, "LLLLLLL"},
    {STREAM_MEM, "LLLLL"},
    {STREAM_IF, "LLLLLLLLLL"},
    {STREAM_CPUIOW, "cccccc"},
    {STREAM_SMART, "bbbbbbbbbbbb"},
    {STREAM_LOAD, "ccc"},
    {STREAM_FLUKSO, "D"},
    {STREAM_ALLFORMATS, "LLLLDDDDllllssssccccbbbb"},
    {STREAM_TYPE_COUNT, ""},
};

const stream_token_pair stream_token_pairs[] = {
    {STREAM_IO1, TOK_IO1},       {STREAM_CPU, TOK_CPU},       {STREAM_MEM1, TOK_MEM1},
    {STREAM_IF1, TOK_IF1},       {STREAM_PF, TOK_PF},         {STREAM_DEBUG, TOK_DEBUG},
    {STREAM_PROC, TOK_PROC},     {STREAM_MBUF, TOK_MBUF},     {STREAM_SENSOR, TOK_SENSOR},
    {STREAM_IO, TOK_IO},         {STREAM_PFQ, TOK_PFQ},       {STREAM_DF, TOK_DF},
    {STREAM_MEM, TOK_MEM},       {STREAM_IF, TOK_IF},         {STREAM_CPUIOW, TOK_CPUIOW},
    {STREAM_SMART, TOK_SMART},   {STREAM_LOAD, TOK_LOAD},     {STREAM_FLUKSO, TOK_FLUKSO},
    {STREAM_TYPE_COUNT, TOK_NONE},
};

int stream_type_from_token(int token)
{
    for (const stream_token_pair *p = stream_token_pairs; p->type != STREAM_TYPE_COUNT; p++)
        if (p->token == token)
            return p->type;
    fatal("%s:%d: internal error: token (%d) could not be translated into a stream type",
          __FILE__, __LINE__, token);
}

int token_is_stream_type(int token)
{
    for (const stream_token_pair *p = stream_token_pairs; p->type != STREAM_TYPE_COUNT; p++)
        if (p->token == token)
            return 1;
    return 0;
}

const char *stream_type_name(int type)
{
    for (const stream_token_pair *p = stream_token_pairs; p->type != STREAM_TYPE_COUNT; p++)
        if (p->type == type)
            return keyword_name(p->token);
    fatal("%s:%d: internal error: type (%d) could not be translated into ascii representation",
          __FILE__, __LINE__, type);
}

const char *stream_type_format(int type)
{
    return stream_type_formats[type].format;
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
    switch (type) {
    case STREAM_IO1:
        return STREAM_IO;
    case STREAM_MEM1:
        return STREAM_MEM;
    case STREAM_IF1:
        return STREAM_IF;
    default:
        return type;
    }
}

static const value_format *find_format(char id)
{
    for (const value_format *v = value_formats; v->id != '\0'; v++)
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
