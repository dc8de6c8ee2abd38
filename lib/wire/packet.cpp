// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
#include "packet.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

#include "codec.h"
#include "error.h"
#include "types.h"

int header_to_wire(uint8_t *wire, const packet_header *header)
{
    encode_fixed32(wire, header->crc);
    encode_fixed64(wire + 4, header->timestamp);
    encode_fixed16(wire + 12, header->length);
    wire[14] = header->version;
    return PACKET_HEADER_SIZE;
}

int header_from_wire(const uint8_t *wire, packet_header *header)
{
    header->crc = decode_fixed32(wire);
    header->timestamp = decode_fixed64(wire + 4);
    header->length = decode_fixed16(wire + 12);
    header->version = wire[14];
    return PACKET_HEADER_SIZE;
}

int buffer_would_overflow(int max, int current, int extra, const void *log_owner)
{
    if (current + extra < max)
        return 0;
    limited_warning(log_owner, "buffer overflow: max=%d, current=%d, extra=%d", max, current, extra);
    return 1;
}

// The catalogue's row of a format character, looked up once: the daemon
// decodes and renders every value of every packet.
static const value_format *format_row(char id)
{
    static const value_format *rows[128];
    unsigned char c = static_cast<unsigned char>(id);
    if (c >= 128)
        return value_format_row(id);
    if (rows[c] == nullptr)
        rows[c] = value_format_row(id);
    return rows[c];
}

// Truncation toward zero, saturating where the C conversion would be
// undefined (out of range or NaN): a probe's odd value must not be UB.
template <typename T>
static T truncate_to(double v)
{
    constexpr double top = static_cast<double>(std::numeric_limits<T>::max());
    if (std::isnan(v))
        return 0;
    if (v >= top)
        return std::numeric_limits<T>::max();
    if (v <= -top - 1)
        return std::numeric_limits<T>::min();
    return static_cast<T>(v);
}

int pack_stream_list(uint8_t *buf, int capacity, const char *argument, int type, va_list ap)
{
    if (type < 0 || type >= STREAM_TYPE_COUNT) {
        warning("stream type (%d) out of range", type);
        return 0;
    }
    if (capacity <= 1)
        fatal("%s:%d: maxlen too small", __FILE__, __LINE__);

    buf[0] = static_cast<uint8_t>(type);
    int n = static_cast<int>(strnlen(argument, PACKET_MAX_ARGUMENT));
    if (buffer_would_overflow(capacity, 1, n))
        return 1;
    memcpy(buf + 1, argument, static_cast<size_t>(n));
    // buf[n + 1] is the argument's terminator: the packet was cleared.
    int pos = n + 2;

    for (const char *f = stream_type_format(type); *f; f++) {
        const value_format *row = format_row(*f);
        int w = row->byte_width;
        if (buffer_would_overflow(capacity, pos, w))
            return pos;
        uint64_t wire;
        switch (row->kind) {
        case VALUE_MILLIONTHS:
            wire = static_cast<uint64_t>(truncate_to<int64_t>(va_arg(ap, double) * 1000 * 1000));
            break;
        case VALUE_HUNDREDTHS:
            wire = static_cast<uint64_t>(truncate_to<int32_t>(va_arg(ap, double) * 100));
            break;
        default:
            wire = w == 8 ? va_arg(ap, unsigned long long) : va_arg(ap, unsigned int);
        }
        encode_width(buf + pos, wire, w);
        pos += w;
    }
    return pos;
}

// Each type's values as steps of the walks that unpack and render them,
// made from the value-format table while compiling: one byte per value,
// as cheap to dispatch on as the format character itself.
enum value_step : uint8_t {
    STEP_END = 0,
    STEP_U8,
    STEP_U16,
    STEP_U32,
    STEP_U64,
    STEP_HUNDREDTHS,
    STEP_MILLIONTHS,
};
enum { TYPE_VALUES_MAX = 32 };

struct type_steps {
    uint8_t step[TYPE_VALUES_MAX + 1];
};

static constexpr uint8_t step_of(const value_format &v)
{
    if (v.kind == VALUE_HUNDREDTHS)
        return STEP_HUNDREDTHS;
    if (v.kind == VALUE_MILLIONTHS)
        return STEP_MILLIONTHS;
    return v.byte_width == 8 ? STEP_U64 : v.byte_width == 4 ? STEP_U32 : v.byte_width == 2 ? STEP_U16 : STEP_U8;
}

struct all_steps {
    type_steps types[STREAM_TYPE_COUNT];
};

static constexpr all_steps make_steps()
{
    all_steps all = {};
    for (int t = 0; t < STREAM_TYPE_COUNT; t++) {
        int i = 0;
        for (const char *f = catalogue::ROWS[t].format; *f && i < TYPE_VALUES_MAX; f++)
            all.types[t].step[i++] = step_of(catalogue::VALUE_FORMATS[catalogue::format_index(*f)]);
    }
    return all;
}

static constexpr bool formats_fit()
{
    for (const stream_row &r : catalogue::ROWS)
        if (catalogue::length(r.format) > TYPE_VALUES_MAX)
            return false;
    return true;
}
static_assert(formats_fit(), "every type's values have their steps");

static constexpr all_steps STEPS = make_steps();

// The one format of a fixed-point kind, for its texts; -1 when none.
static constexpr int row_of_kind(int kind)
{
    for (int i = 0; catalogue::VALUE_FORMATS[i].id != '\0'; i++)
        if (catalogue::VALUE_FORMATS[i].kind == kind)
            return i;
    return -1;
}
static_assert(row_of_kind(VALUE_MILLIONTHS) >= 0, "a millionths format");
static constexpr const value_format *MILLIONTHS_ROW = &catalogue::VALUE_FORMATS[row_of_kind(VALUE_MILLIONTHS)];

int pack_stream(uint8_t *buf, int capacity, const char *argument, int type, ...)
{
    va_list ap;
    va_start(ap, type);
    int n = pack_stream_list(buf, capacity, argument, type, ap);
    va_end(ap);
    return n;
}

// Values of an unpacked record, host order, back to back: one stored and
// its width returned, one taken and the place moved past it.
template <typename T> static int put_value(uint8_t **d, T v)
{
    memcpy(*d, &v, sizeof(v));
    *d += sizeof(v);
    return sizeof(v);
}

template <typename T> static T next_value(const uint8_t **d)
{
    T v;
    memcpy(&v, *d, sizeof(v));
    *d += sizeof(v);
    return v;
}

// An unsigned integer value of the width.
static uint64_t next_unsigned(const uint8_t **d, int width)
{
    switch (width) {
    case 8:
        return next_value<uint64_t>(d);
    case 4:
        return next_value<uint32_t>(d);
    case 2:
        return next_value<uint16_t>(d);
    default:
        return *(*d)++;
    }
}

// The wire width of a stream type's values, looked up once: one check
// covers the whole record.
static int type_byte_width(int type)
{
    static int widths[STREAM_TYPE_COUNT];
    if (widths[type] == 0)
        widths[type] = stream_type_byte_width(type) + 1;
    return widths[type] - 1;
}

// Only what a caller reads is set: the type, the argument and the values
// the type has; the rest of the record is not cleared, every packet.
int unpack_stream(int capacity, const uint8_t *record, int available, unpacked_stream *result,
                  const void *log_owner)
{
    result->type = 0;
    result->argument[0] = '\0';
    if (available < 2) {
        limited_warning(log_owner, "unpack failure: stream record runs past the end of the packet (%d bytes left)", available);
        return 0;
    }
    int type = static_cast<int8_t>(record[0]);
    if (type < 0 || type >= STREAM_TYPE_COUNT) {
        limited_warning(log_owner, "unpack failure: stream type (%d) out of range", type);
        return -1;
    }
    result->type = type;

    int pos = 2;
    if (record[1] != 0) {
        // Copy up to the zero byte, at most capacity characters, never
        // past the bytes received.
        int limit = capacity < available - 1 ? capacity : available - 1;
        int length = 0;
        while (length < limit && record[1 + length] != 0) {
            result->argument[length] = static_cast<char>(record[1 + length]);
            length++;
        }
        if (length < capacity && length == available - 1) {
            limited_warning(log_owner, "unpack failure: stream record runs past the end of the packet (%d bytes left)", available);
            return 0;
        }
        // A longer argument is cut to capacity - 1 characters, and the
        // values are taken from right after the cut.
        if (length > capacity - 1)
            length = capacity - 1;
        result->argument[length] = '\0';
        pos = 2 + length;
    }
    if (pos + type_byte_width(type) > available) {
        limited_warning(log_owner, "unpack failure: stream record runs past the end of the packet (%d bytes left)", available);
        return 0;
    }

    const uint8_t *p = record + pos;
    uint8_t *d = result->data;
    for (const uint8_t *step = STEPS.types[type].step; *step; step++) {
        switch (*step) {
        case STEP_U64:
        case STEP_MILLIONTHS:
            p += put_value(&d, decode_fixed64(p));
            break;
        case STEP_U32:
            p += put_value(&d, decode_fixed32(p));
            break;
        case STEP_U16:
        case STEP_HUNDREDTHS:
            p += put_value(&d, decode_fixed16(p));
            break;
        default:
            *d++ = *p++;
        }
    }
    return static_cast<int>(p - record);
}

int unpack_stream_v2(const uint8_t *record, int available, unpacked_stream *result,
                     const void *log_owner)
{
    return unpack_stream(UNPACK_ARGUMENT_V2, record, available, result, log_owner);
}

int unpack_stream_v1(const uint8_t *record, int available, unpacked_stream *result,
                     const void *log_owner)
{
    return unpack_stream(UNPACK_ARGUMENT_V1, record, available, result, log_owner);
}

// The daemon renders every value of every packet, and printf was most of
// that cost. Digits come four per lookup from a table of every group of
// four, stored a word at a time; the digit count comes first, from the
// bit length, so where the next value goes never waits for this one.

struct quarter_table {
    char digits[10000][4];
};

static constexpr quarter_table make_quarters()
{
    quarter_table t = {};
    for (int i = 0; i < 10000; i++) {
        t.digits[i][0] = static_cast<char>('0' + i / 1000);
        t.digits[i][1] = static_cast<char>('0' + i / 100 % 10);
        t.digits[i][2] = static_cast<char>('0' + i / 10 % 10);
        t.digits[i][3] = static_cast<char>('0' + i % 10);
    }
    return t;
}

static constexpr quarter_table QUARTERS = make_quarters();
static_assert(QUARTERS.digits[9876][0] == '9' && QUARTERS.digits[42][2] == '4', "digit order");

enum : uint64_t { E4 = 10000, E8 = E4 * E4, E16 = E8 * E8 };

static const uint64_t POWERS_OF_TEN[20] = {
    1ull,
    10ull,
    100ull,
    1000ull,
    10000ull,
    100000ull,
    1000000ull,
    10000000ull,
    100000000ull,
    1000000000ull,
    10000000000ull,
    100000000000ull,
    1000000000000ull,
    10000000000000ull,
    100000000000000ull,
    1000000000000000ull,
    10000000000000000ull,
    100000000000000000ull,
    1000000000000000000ull,
    10000000000000000000ull,
};

// The decimal digits of v (1 for 0).
static int digit_count(uint64_t v)
{
    uint64_t u = v | 1;
    int t = ((64 - __builtin_clzll(u)) * 1233) >> 12; // bit length times log10(2)
    return t + (u >= POWERS_OF_TEN[t]);
}

// Words hold characters in memory order: the first in the lowest byte,
// whatever the host's byte order.
static uint32_t load4(const char *p)
{
    uint32_t x;
    memcpy(&x, p, 4);
    if constexpr (__BYTE_ORDER__ == __ORDER_BIG_ENDIAN__)
        x = __builtin_bswap32(x);
    return x;
}

static void store4(char *p, uint32_t x)
{
    if constexpr (__BYTE_ORDER__ == __ORDER_BIG_ENDIAN__)
        x = __builtin_bswap32(x);
    memcpy(p, &x, 4);
}

static void store8(char *p, uint64_t x)
{
    if constexpr (__BYTE_ORDER__ == __ORDER_BIG_ENDIAN__)
        x = __builtin_bswap64(x);
    memcpy(p, &x, 8);
}

// The four digits of v below 10^4, and the eight of v below 10^8, zeros
// leading.
static uint32_t four_chars(uint32_t v)
{
    return load4(QUARTERS.digits[v]);
}

static uint64_t eight_chars(uint32_t v)
{
    return four_chars(v / 10000) | static_cast<uint64_t>(four_chars(v % 10000)) << 32;
}

// The last k (1 to 8) of the eight digits of v below 10^8 at p: eight
// bytes are stored, NULs after the digits.
static void last_digits(char *p, uint32_t v, int k)
{
    store8(p, eight_chars(v) >> (8 * (8 - k)));
}

// ":" and the decimal digits of v, as ":%llu" prints them, NUL-terminated.
// Every store stays within the value's text width (22 for L, 12 for l).
static int field_unsigned(char *out, uint64_t v)
{
    out[0] = ':';
    char *p = out + 1;
    int n = digit_count(v);
    if (n <= 8) {
        last_digits(p, static_cast<uint32_t>(v), n);
    } else if (n <= 16) {
        last_digits(p, static_cast<uint32_t>(v / E8), n - 8);
        store8(p + n - 8, eight_chars(static_cast<uint32_t>(v % E8)));
    } else {
        uint64_t low = v % E16;
        last_digits(p, static_cast<uint32_t>(v / E16), n - 16);
        store8(p + n - 16, eight_chars(static_cast<uint32_t>(low / E8)));
        store8(p + n - 8, eight_chars(static_cast<uint32_t>(low % E8)));
    }
    p[n] = '\0';
    return n + 1;
}

// v below 10^5 (s, b and the units of c) at p: four bytes are stored,
// five for five digits, within the text widths of s (7), b (5) and c (8);
// the digits written.
static int up_to_five(char *p, uint32_t v)
{
    int n = digit_count(v);
    if (n <= 4) {
        store4(p, four_chars(v) >> (8 * (4 - n)));
    } else {
        p[0] = static_cast<char>('0' + v / 10000);
        store4(p + 1, four_chars(v % 10000));
    }
    return n;
}

static int field_small(char *out, uint32_t v)
{
    out[0] = ':';
    int n = 1 + up_to_five(out + 1, v);
    out[n] = '\0';
    return n;
}

// A c value as ":%3.2f" prints v / 100.0: the quotient is within one ulp of
// a two-decimal number, so rounding gives back exactly these digits.
static int field_hundredths(char *out, uint16_t v)
{
    out[0] = ':';
    int n = 1 + up_to_five(out + 1, v / 100u);
    out[n] = '.';
    memcpy(out + n + 1, QUARTERS.digits[v % 100u] + 2, 2);
    out[n + 3] = '\0';
    return n + 3;
}

// Below this magnitude the quotient printf is given (v / 1000 / 1000, two
// roundings) lies within about one ulp, some 10^-7, of v / 10^6: less than
// half a millionth, so ":%7.6f" gives back exactly v's digits. Beyond it
// printf decides.
static const uint64_t MILLIONTHS_EXACT = 1000000000000000ull;

static int field_millionths(char *out, int64_t v, size_t room, const char *fmt)
{
    uint64_t magnitude = v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
    if (magnitude >= MILLIONTHS_EXACT)
        return snprintf(out, room, fmt, static_cast<double>(v) / 1000 / 1000);
    int n = 0;
    out[n++] = ':';
    if (v < 0)
        out[n++] = '-';
    uint32_t units = static_cast<uint32_t>(magnitude / 1000000);
    int k = digit_count(units);
    if (k <= 8) {
        last_digits(out + n, units, k);
    } else {
        out[n] = static_cast<char>('0' + units / E8);
        store8(out + n + 1, eight_chars(static_cast<uint32_t>(units % E8)));
    }
    n += k;
    out[n] = '.';
    // Six digits: the eight of the fraction less its two leading zeros,
    // NULs after them.
    store8(out + n + 1, eight_chars(static_cast<uint32_t>(magnitude % 1000000)) >> 16);
    return n + 7;
}

// The text width of a stream type, looked up once.
static int type_text_width(int type)
{
    static int widths[STREAM_TYPE_COUNT];
    if (widths[type] == 0)
        widths[type] = stream_type_text_width(type) + 1;
    return widths[type] - 1;
}

// Field style when the room holds the widest text of every value, as it
// does for every line the daemon builds: no value needs a check of its own,
// and none renders past its text width.
static int render_fields(const unpacked_stream *s, char *buf)
{
    char *out = buf;
    const uint8_t *d = s->data;
    for (const uint8_t *step = STEPS.types[s->type].step; *step; step++) {
        switch (*step) {
        case STEP_U64:
            out += field_unsigned(out, next_value<uint64_t>(&d));
            break;
        case STEP_MILLIONTHS: {
            const value_format *row = MILLIONTHS_ROW;
            int n = field_millionths(out, next_value<int64_t>(&d), static_cast<size_t>(row->text_width),
                                     row->field_format);
            out += n < row->text_width ? n : row->text_width - 1;
            break;
        }
        case STEP_U32:
            out += field_unsigned(out, next_value<uint32_t>(&d));
            break;
        case STEP_U16:
            out += field_small(out, next_value<uint16_t>(&d));
            break;
        case STEP_HUNDREDTHS:
            out += field_hundredths(out, next_value<uint16_t>(&d));
            break;
        default:
            out += field_small(out, *d++);
        }
    }
    return static_cast<int>(out - buf);
}

int render_stream(const unpacked_stream *s, char *buf, int capacity, int style,
                  const void *log_owner)
{
    if (style == RENDER_FIELDS && s->type >= 0 && s->type < STREAM_TYPE_COUNT &&
        type_text_width(s->type) < capacity) {
        if (capacity > 0)
            buf[0] = '\0';
        return render_fields(s, buf);
    }
    int written = 0;
    int in = 0;
    if (capacity > 0)
        buf[0] = '\0';
    for (const char *f = stream_type_format(s->type); *f; f++) {
        // One lookup serves the widths and the format of this value.
        const value_format *row = format_row(*f);
        int w = row->text_width;
        if (buffer_would_overflow(capacity, written, w, log_owner))
            return 0;
        if (style != RENDER_PRETTY && style != RENDER_FIELDS) {
            warning("%s:%d: unknown pretty identifier", __FILE__, __LINE__);
            return 0;
        }
        const char *fmt = style == RENDER_FIELDS ? row->field_format : row->pretty_format;
        const uint8_t *d = s->data + in;
        char *out = buf + written;
        size_t room = static_cast<size_t>(w);
        int n = 0;
        int fields = style == RENDER_FIELDS;
        switch (row->kind) {
        case VALUE_MILLIONTHS: {
            int64_t v = next_value<int64_t>(&d);
            n = fields ? field_millionths(out, v, room, fmt)
                       : snprintf(out, room, fmt, static_cast<double>(v) / 1000 / 1000);
            break;
        }
        case VALUE_HUNDREDTHS: {
            uint16_t v = next_value<uint16_t>(&d);
            n = fields ? field_hundredths(out, v)
                       : snprintf(out, room, fmt, static_cast<double>(v) / 100.0);
            break;
        }
        default: {
            uint64_t v = next_unsigned(&d, row->byte_width);
            n = fields ? (row->byte_width > 2 ? field_unsigned(out, v)
                                              : field_small(out, static_cast<uint32_t>(v)))
                       : snprintf(out, room, fmt, static_cast<unsigned long long>(v));
        }
        }
        // The widths fit every value; a cut would only come from a bad table.
        written += n < w ? n : w - 1;
        in += row->byte_width;
    }
    return written;
}
