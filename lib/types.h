// Stream types and value formats: the three constant tables both daemons
// share (value formats, type -> format string, type <-> keyword token) and
// the lookups over them. Type numbers travel in every packet, so they and
// their format strings never change.
#pragma once

#include <cstdint>

enum stream_type {
    STREAM_IO1 = 0,
    STREAM_CPU = 1,
    STREAM_MEM1 = 2,
    STREAM_IF1 = 3,
    STREAM_PF = 4,
    STREAM_DEBUG = 5,
    STREAM_PROC = 6,
    STREAM_MBUF = 7,
    STREAM_SENSOR = 8,
    STREAM_IO = 9,
    STREAM_PFQ = 10,
    STREAM_DF = 11,
    STREAM_MEM = 12,
    STREAM_IF = 13,
    STREAM_CPUIOW = 14,
    STREAM_SMART = 15,
    STREAM_LOAD = 16,
    STREAM_FLUKSO = 17,
    STREAM_ALLFORMATS = 18,
    STREAM_TYPE_COUNT = 19,
};

struct value_format {
    char id;
    const char *field_format;  // ":"-separated, for database updates and FIFO lines
    const char *pretty_format; // blank-separated, fixed width
    int text_width;            // room for one rendered value, separator and NUL included
    int byte_width;            // bytes on the wire
    uint64_t nominal_max;
};

struct type_format_row {
    int type;
    const char *format;
};

struct stream_token_pair {
    int type;
    int token;
};

extern const value_format value_formats[];
extern const type_format_row stream_type_formats[];
extern const stream_token_pair stream_token_pairs[];

int stream_type_from_token(int token);
const char *stream_type_name(int type);
const char *stream_type_format(int type);
int stream_type_text_width(int type);
// Sum of the byte widths of the type's format: the value bytes of a record.
int stream_type_byte_width(int type);
// 1 when the token is one of the eighteen stream keywords.
int token_is_stream_type(int token);
// The type a monitor's probe actually packs for a configured type: io1,
// mem1 and if1 travel in the wide io, mem and if layouts.
int stream_send_type(int type);

// The row of a format character; a character without one is fatal.
const value_format *value_format_row(char id);
int value_byte_width(char id);
int value_text_width(char id);
const char *value_field_format(char id);
const char *value_pretty_format(char id);
