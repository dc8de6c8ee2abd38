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

// The digits of v below 10^8, two at a time in 32-bit arithmetic, ending
// at end; the first digit's position. With width, zeros pad to it.
static char *digits32(char *end, uint32_t v, int width)
{
    char *p = end;
    while (v >= 100) {
        unsigned pair = (v % 100) * 2;
        v /= 100;
        *--p = DIGIT_PAIRS[pair + 1];
        *--p = DIGIT_PAIRS[pair];
    }
    if (v >= 10) {
        *--p = DIGIT_PAIRS[v * 2 + 1];
        *--p = DIGIT_PAIRS[v * 2];
    } else if (v > 0 || p == end) {
        *--p = static_cast<char>('0' + v);
    }
    while (end - p < width)
        *--p = '0';
    return p;
}

// ":" and the decimal digits of v, as ":%llu" prints them; the daemon
// renders every value of every packet, and printf is most of that cost.
// Eight digits at a time keep the arithmetic in 32 bits.
static int field_unsigned(char *out, uint64_t v)
{
    enum : uint32_t { EIGHT_DIGITS = 100000000u };
    char digits[24];
    char *end = digits + sizeof(digits);
    char *p = end;
    for (; v >= EIGHT_DIGITS; v /= EIGHT_DIGITS)
        p = digits32(p, static_cast<uint32_t>(v % EIGHT_DIGITS), 8);
    p = digits32(p, static_cast<uint32_t>(v), 0);
    int length = static_cast<int>(end - p);
    out[0] = ':';
    memcpy(out + 1, p, static_cast<size_t>(length));
    out[length + 1] = '\0';
    return length + 1;
}

// A c value as ":%3.2f" prints v / 100.0: the quotient is within one ulp of
// a two-decimal number, so rounding gives back exactly these digits.
static int field_hundredths(char *out, uint16_t v)
{
    int n = field_unsigned(out, v / 100u);
    out[n] = '.';
    out[n + 1] = static_cast<char>('0' + (v % 100u) / 10);
    out[n + 2] = static_cast<char>('0' + v % 10u);
    out[n + 3] = '\0';
    return n + 3;
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
            n = snprintf(out, room, fmt, static_cast<double>(v) / 1000 / 1000);
            break;
        }
        case 'l': {
            uint32_t v;
            memcpy(&v, d, sizeof(v));
            n = fields ? field_unsigned(out, v) : snprintf(out, room, fmt, static_cast<unsigned long>(v));
            break;
        }
        case 's': {
            uint16_t v;
            memcpy(&v, d, sizeof(v));
            n = fields ? field_unsigned(out, v) : snprintf(out, room, fmt, static_cast<unsigned>(v));
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
            n = fields ? field_unsigned(out, d[0])
                       : snprintf(out, room, fmt, static_cast<unsigned>(d[0]));
            break;
        }
        // The widths fit every value; a cut would only come from a bad table.
        written += n < w ? n : w - 1;
        in += row->byte_width;
    }
    return written;
}
