// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// The sensor probe: one reading per stream from an integer sysctl, in
// degrees Celsius where the sysctl is a temperature in kelvin. sensor(cpuN)
// reads the CPU's (coretemp, amdtemp), sensor(tzN) the ACPI thermal
// zone's, any other argument the sysctl of that full name. Each stream
// resolves its sysctl once; one missing at start is told once, sends
// nothing, and is looked for again at every tick, as a module loaded later
// (coretemp) makes it appear.
#include <sys/types.h>
#include <sys/sysctl.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "error.h"
#include "pack.h"
#include "probes.h"
#include "types.h"

enum { NAME_SIZE = 320, FORMAT_SIZE = 64 };
enum { KIND_NONE = 0 }; // no integer to read: told at start, never sent
// What was told of a stream that sends nothing.
enum { TOLD_NOTHING = 0, TOLD_MISSING = 1, TOLD_UNREADABLE = 2 };

static_assert(CTL_MAXNAME <= SENSOR_MIB_SIZE, "a sensor's state holds any MIB");

// 0 °C in millionths of a kelvin.
constexpr int64_t ZERO_CELSIUS = 273150000;
constexpr int64_t POWERS[] = {1, 10, 100, 1000, 10000, 100000, 1000000};

static const char *digits_after(const char *argument, const char *prefix)
{
    size_t n = strlen(prefix);
    if (strncmp(argument, prefix, n) != 0 || argument[n] == '\0')
        return nullptr;
    for (const char *c = argument + n; *c; c++)
        if (!isdigit(static_cast<unsigned char>(*c)))
            return nullptr;
    return argument + n;
}

// The sysctl a stream's argument names.
static void sysctl_name(const char *argument, char *name, size_t size)
{
    if (const char *cpu = digits_after(argument, "cpu"))
        snprintf(name, size, "dev.cpu.%s.temperature", cpu);
    else if (const char *zone = digits_after(argument, "tz"))
        snprintf(name, size, "hw.acpi.thermal.tz%s.temperature", zone);
    else
        snprintf(name, size, "%s", argument);
}

int sensor_kelvin_decimals(const char *format)
{
    // "IK" is tenths of a kelvin, "IKn" n decimals.
    if (format[0] != 'I' || format[1] != 'K')
        return -1;
    if (format[2] == '\0')
        return 1;
    if (isdigit(static_cast<unsigned char>(format[2])) && format[3] == '\0')
        return format[2] - '0';
    return -1;
}

int64_t sensor_millionths(int64_t value, int kelvin)
{
    int64_t m;
    int64_t zero = kelvin < 0 ? 0 : ZERO_CELSIUS;
    if (kelvin > 6) {
        value /= POWERS[kelvin - 6];
        kelvin = 6;
    }
    // A reading past what a D value holds is sent as the nearest it holds.
    if (__builtin_mul_overflow(value, POWERS[6 - (kelvin < 0 ? 0 : kelvin)], &m) ||
        __builtin_sub_overflow(m, zero, &m))
        return value < 0 ? INT64_MIN : INT64_MAX;
    return m;
}

static int integer_kind(int kind)
{
    switch (kind) {
    case CTLTYPE_INT:
    case CTLTYPE_UINT:
    case CTLTYPE_LONG:
    case CTLTYPE_ULONG:
    case CTLTYPE_S64:
    case CTLTYPE_U64:
    case CTLTYPE_S8:
    case CTLTYPE_U8:
    case CTLTYPE_S16:
    case CTLTYPE_U16:
    case CTLTYPE_S32:
    case CTLTYPE_U32:
        return 1;
    }
    return 0;
}

// Looks the stream's sysctl up and asks the kernel what it holds: 1 when
// it is there (an integer or not), 0 when it is missing.
static int resolve(stream *s, sensor_probe_state *st)
{
    char name[NAME_SIZE];
    sysctl_name(s->argument, name, sizeof(name));
    size_t length = CTL_MAXNAME;
    if (sysctlnametomib(name, st->mib, &length) != 0) {
        st->length = 0;
        return 0;
    }
    st->length = static_cast<uint32_t>(length);
    int query[CTL_MAXNAME + 2] = {CTL_SYSCTL, CTL_SYSCTL_OIDFMT};
    memcpy(query + 2, st->mib, length * sizeof(int));
    struct {
        u_int kind;
        char format[FORMAT_SIZE];
    } answer = {};
    size_t size = sizeof(answer);
    // A format too long for the room comes cut, with ENOMEM: its first
    // characters are all that is read.
    int got = sysctl(query, static_cast<u_int>(length + 2), &answer, &size, nullptr, 0);
    answer.format[FORMAT_SIZE - 1] = '\0';
    int kind = static_cast<int>(answer.kind & CTLTYPE);
    if ((got != 0 && errno != ENOMEM) || size < sizeof(answer.kind) || !integer_kind(kind)) {
        warning("sensor(%.200s): %.200s is not an integer; sending nothing", s->argument, name);
        st->kind = KIND_NONE;
        return 1;
    }
    st->kind = kind;
    st->kelvin = sensor_kelvin_decimals(answer.format);
    return 1;
}

void sensor_start(stream *s)
{
    sensor_probe_state *st = &stream_probe_state(s)->sensor;
    if (!resolve(s, st)) {
        char name[NAME_SIZE];
        sysctl_name(s->argument, name, sizeof(name));
        warning("sensor(%.200s): no sysctl %.200s; sending nothing until it appears", s->argument,
                name);
        st->told = TOLD_MISSING;
    }
    info("started module sensor(%.200s)", s->argument);
}

// sensor(*): the CPUs' and the thermal zones' temperatures, each numbered
// from 0 up to the first that is not there.
void sensor_discover(discover_found *found, void *receiver)
{
    for (const char *prefix : {"cpu", "tz"})
        for (int n = 0;; n++) {
            char argument[16], name[NAME_SIZE];
            int mib[CTL_MAXNAME];
            size_t length = CTL_MAXNAME;
            snprintf(argument, sizeof(argument), "%s%d", prefix, n);
            sysctl_name(argument, name, sizeof(name));
            if (sysctlnametomib(name, mib, &length) != 0)
                break;
            found(receiver, argument);
        }
}

// The reading as a signed integer of the sysctl's kind (an unsigned one
// past the signed range as the largest); 0 on failure.
static int read_value(const sensor_probe_state *st, int64_t *value)
{
    union {
        int8_t s8;
        uint8_t u8;
        int16_t s16;
        uint16_t u16;
        int32_t s32;
        uint32_t u32;
        int64_t s64;
        uint64_t u64;
    } v = {};
    size_t size = sizeof(v);
    if (sysctl(st->mib, st->length, &v, &size, nullptr, 0) != 0)
        return 0;
    // FreeBSD's kinds by their widths: int is 32 bits, long 64.
    switch (size) {
    case 1:
        *value = st->kind == CTLTYPE_S8 ? v.s8 : v.u8;
        return 1;
    case 2:
        *value = st->kind == CTLTYPE_S16 ? v.s16 : v.u16;
        return 1;
    case 4:
        *value = st->kind == CTLTYPE_INT || st->kind == CTLTYPE_S32 ? v.s32 : v.u32;
        return 1;
    case 8:
        if (st->kind == CTLTYPE_LONG || st->kind == CTLTYPE_S64)
            *value = v.s64;
        else
            *value = v.u64 > INT64_MAX ? INT64_MAX : static_cast<int64_t>(v.u64);
        return 1;
    }
    errno = EINVAL;
    return 0;
}

int32_t sensor_pack(uint8_t *buffer, int32_t space, stream *s)
{
    sensor_probe_state *st = &stream_probe_state(s)->sensor;
    if (st->length == 0) {
        if (!resolve(s, st))
            return 0;
        info("sensor(%.200s) appeared", s->argument);
        st->told = TOLD_NOTHING;
    }
    if (st->kind == KIND_NONE)
        return 0;
    int64_t value;
    if (!read_value(st, &value)) {
        int error = errno;
        if (st->told != TOLD_UNREADABLE)
            warning("sensor(%.200s) cannot be read: %.200s; sending nothing until it can",
                    s->argument, strerror(error));
        st->told = TOLD_UNREADABLE;
        // Gone with the module that made it: looked for again by name.
        if (error == ENOENT)
            st->length = 0;
        return 0;
    }
    if (st->told == TOLD_UNREADABLE)
        info("sensor(%.200s) can be read again", s->argument);
    st->told = TOLD_NOTHING;
    return pack_typed<STREAM_SENSOR>(buffer, space, s->argument,
                                     millionths(sensor_millionths(value, st->kelvin)));
}
