#include "packet.h"

#include <cmath>
#include <cstdio>
#include <cstring>

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

int buffer_would_overflow(int max, int current, int extra)
{
    if (current + extra < max)
        return 0;
    warning("buffer overflow: max=%d, current=%d, extra=%d", max, current, extra);
    return 1;
}

// Truncation toward zero, saturating where the C conversion would be
// undefined (out of range or NaN): a probe's odd value must not be UB.
static int64_t truncate_to_int64(double v)
{
    if (std::isnan(v))
        return 0;
    if (v >= 9223372036854775807.0)
        return INT64_MAX;
    if (v <= -9223372036854775808.0)
        return INT64_MIN;
    return static_cast<int64_t>(v);
}

static int32_t truncate_to_int32(double v)
{
    if (std::isnan(v))
        return 0;
    if (v >= 2147483647.0)
        return INT32_MAX;
    if (v <= -2147483648.0)
        return INT32_MIN;
    return static_cast<int32_t>(v);
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
        int w = value_byte_width(*f);
        if (buffer_would_overflow(capacity, pos, w))
            return pos;
        uint8_t *p = buf + pos;
        switch (*f) {
        case 'L':
            encode_fixed64(p, va_arg(ap, unsigned long long));
            break;
        case 'D':
            encode_fixed64(p, static_cast<uint64_t>(truncate_to_int64(va_arg(ap, double) * 1000 * 1000)));
            break;
        case 'l':
            encode_fixed32(p, va_arg(ap, unsigned int));
            break;
        case 's':
            encode_fixed16(p, static_cast<uint16_t>(va_arg(ap, unsigned int)));
            break;
        case 'c':
            encode_fixed16(p, static_cast<uint16_t>(truncate_to_int32(va_arg(ap, double) * 100)));
            break;
        case 'b':
            p[0] = static_cast<uint8_t>(va_arg(ap, unsigned int));
            break;
        default:
            warning("unknown stream format identifier %c in type %d", *f, type);
            return 0;
        }
        pos += w;
    }
    return pos;
}

int pack_stream(uint8_t *buf, int capacity, const char *argument, int type, ...)
{
    va_list ap;
    va_start(ap, type);
    int n = pack_stream_list(buf, capacity, argument, type, ap);
    va_end(ap);
    return n;
}

int unpack_stream(int capacity, const uint8_t *record, int available, unpacked_stream *result)
{
    memset(result, 0, sizeof(*result));
    if (available < 2) {
        warning("unpack failure: stream record runs past the end of the packet (%d bytes left)", available);
        return 0;
    }
    int type = static_cast<int8_t>(record[0]);
    if (type < 0 || type >= STREAM_TYPE_COUNT) {
        warning("unpack failure: stream type (%d) out of range", type);
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
            warning("unpack failure: stream record runs past the end of the packet (%d bytes left)", available);
            return 0;
        }
        result->argument[capacity - 1] = '\0';
        pos = 2 + static_cast<int>(strlen(result->argument));
    }

    int out = 0;
    for (const char *f = stream_type_format(type); *f; f++) {
        int w = value_byte_width(*f);
        if (pos + w > available) {
            warning("unpack failure: stream record runs past the end of the packet (%d bytes left)", available);
            return 0;
        }
        const uint8_t *p = record + pos;
        uint8_t *d = result->data + out;
        switch (*f) {
        case 'L':
        case 'D': {
            uint64_t v = decode_fixed64(p);
            memcpy(d, &v, sizeof(v));
            break;
        }
        case 'l': {
            uint32_t v = decode_fixed32(p);
            memcpy(d, &v, sizeof(v));
            break;
        }
        case 's':
        case 'c': {
            uint16_t v = decode_fixed16(p);
            memcpy(d, &v, sizeof(v));
            break;
        }
        case 'b':
            d[0] = p[0];
            break;
        default:
            warning("unknown stream format identifier %c in type %d", *f, type);
            return 0;
        }
        pos += w;
        out += w;
    }
    return pos;
}

int unpack_stream_v2(const uint8_t *record, int available, unpacked_stream *result)
{
    return unpack_stream(UNPACK_ARGUMENT_V2, record, available, result);
}

int unpack_stream_v1(const uint8_t *record, int available, unpacked_stream *result)
{
    return unpack_stream(UNPACK_ARGUMENT_V1, record, available, result);
}

static const char DIGIT_PAIRS[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";
static_assert(sizeof(DIGIT_PAIRS) == 201, "every pair from 00 to 99");

// The daemon renders every value of every packet, and printf was most of
// that cost. Digits go straight to their place, two per table lookup; the
// divisions of a group are independent of each other, so they overlap.

static void put_pair(char *p, uint32_t v)
{
    memcpy(p, DIGIT_PAIRS + 2 * v, 2);
}

// v below 10^4 without leading zeros; the digits written.
static int up_to_four(char *p, uint32_t v)
{
    if (v < 100) {
        if (v < 10) {
            p[0] = static_cast<char>('0' + v);
            return 1;
        }
        put_pair(p, v);
        return 2;
    }
    uint32_t high = v / 100, low = v % 100;
    if (high < 10) {
        p[0] = static_cast<char>('0' + high);
        put_pair(p + 1, low);
        return 3;
    }
    put_pair(p, high);
    put_pair(p + 2, low);
    return 4;
}

// v below 10^4 as four digits, zeros leading.
static void four_digits(char *p, uint32_t v)
{
    put_pair(p, v / 100);
    put_pair(p + 2, v % 100);
}

// v below 10^8 as eight digits, zeros leading.
static void eight_digits(char *p, uint32_t v)
{
    four_digits(p, v / 10000);
    four_digits(p + 4, v % 10000);
}

// Any 32-bit v without leading zeros; the digits written.
static int digits32(char *p, uint32_t v)
{
    if (v < 10000)
        return up_to_four(p, v);
    if (v < 100000000) {
        int n = up_to_four(p, v / 10000);
        four_digits(p + n, v % 10000);
        return n + 4;
    }
    int n = up_to_four(p, v / 100000000);
    eight_digits(p + n, v % 100000000);
    return n + 8;
}

static int digits64(char *p, uint64_t v)
{
    enum : uint64_t { E8 = 100000000ull, E16 = E8 * E8 };
    if (v <= UINT32_MAX)
        return digits32(p, static_cast<uint32_t>(v));
    if (v < E16) {
        int n = digits32(p, static_cast<uint32_t>(v / E8));
        eight_digits(p + n, static_cast<uint32_t>(v % E8));
        return n + 8;
    }
    uint64_t low = v % E16;
    int n = up_to_four(p, static_cast<uint32_t>(v / E16));
    eight_digits(p + n, static_cast<uint32_t>(low / E8));
    eight_digits(p + n + 8, static_cast<uint32_t>(low % E8));
    return n + 16;
}

// ":" and the decimal digits of v, as ":%llu" and ":%u" print them.
static int field_unsigned(char *out, uint64_t v)
{
    out[0] = ':';
    int n = 1 + digits64(out + 1, v);
    out[n] = '\0';
    return n;
}

static int field_unsigned32(char *out, uint32_t v)
{
    out[0] = ':';
    int n = 1 + digits32(out + 1, v);
    out[n] = '\0';
    return n;
}

// A c value as ":%3.2f" prints v / 100.0: the quotient is within one ulp of
// a two-decimal number, so rounding gives back exactly these digits.
static int field_hundredths(char *out, uint16_t v)
{
    out[0] = ':';
    int n = 1 + up_to_four(out + 1, v / 100u);
    out[n] = '.';
    put_pair(out + n + 1, v % 100u);
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
    n += digits32(out + n, static_cast<uint32_t>(magnitude / 1000000));
    uint32_t fraction = static_cast<uint32_t>(magnitude % 1000000);
    out[n] = '.';
    put_pair(out + n + 1, fraction / 10000);
    four_digits(out + n + 3, fraction % 10000);
    out[n + 7] = '\0';
    return n + 7;
}

int render_stream(const unpacked_stream *s, char *buf, int capacity, int style)
{
    int written = 0;
    int in = 0;
    if (capacity > 0)
        buf[0] = '\0';
    for (const char *f = stream_type_format(s->type); *f; f++) {
        // One lookup serves the widths and the format of this value.
        const value_format *row = value_format_row(*f);
        int w = row->text_width;
        if (buffer_would_overflow(capacity, written, w))
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
        switch (*f) {
        case 'L': {
            uint64_t v;
            memcpy(&v, d, sizeof(v));
            n = fields ? field_unsigned(out, v)
                       : snprintf(out, room, fmt, static_cast<unsigned long long>(v));
            break;
        }
        case 'D': {
            int64_t v;
            memcpy(&v, d, sizeof(v));
            n = fields ? field_millionths(out, v, room, fmt)
                       : snprintf(out, room, fmt, static_cast<double>(v) / 1000 / 1000);
            break;
        }
        case 'l': {
            uint32_t v;
            memcpy(&v, d, sizeof(v));
            n = fields ? field_unsigned32(out, v)
                       : snprintf(out, room, fmt, static_cast<unsigned long>(v));
            break;
        }
        case 's': {
            uint16_t v;
            memcpy(&v, d, sizeof(v));
            n = fields ? field_unsigned32(out, v) : snprintf(out, room, fmt, static_cast<unsigned>(v));
            break;
        }
        case 'c': {
            uint16_t v;
            memcpy(&v, d, sizeof(v));
            n = fields ? field_hundredths(out, v)
                       : snprintf(out, room, fmt, static_cast<double>(v) / 100.0);
            break;
        }
        case 'b':
            n = fields ? field_unsigned32(out, d[0])
                       : snprintf(out, room, fmt, static_cast<unsigned>(d[0]));
            break;
        }
        // The widths fit every value; a cut would only come from a bad table.
        written += n < w ? n : w - 1;
        in += row->byte_width;
    }
    return written;
}
