// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// Text of colvo-top's rows. Figures are found by data source name, so the
// view follows the stream type descriptions.
#include "top_view.h"

#include <cmath>
#include <cstdio>
#include <cstring>

#include "types.h"

void human(char *buf, size_t room, double value, int base)
{
    static const char SUFFIX[] = " kMGTPE";
    if (std::isnan(value)) {
        snprintf(buf, room, "-");
        return;
    }
    int i = 0;
    double v = value;
    while (fabs(v) >= 999.5 && i < 6) {
        v /= base;
        i++;
    }
    const char *format = fabs(v) < 9.995 ? "%.2f" : fabs(v) < 99.95 ? "%.1f" : "%.0f";
    if (i == 0 && v == floor(v))
        format = "%.0f";
    int n = snprintf(buf, room, format, v);
    if (i > 0 && n > 0 && static_cast<size_t>(n) + 1 < room) {
        buf[n] = SUFFIX[i];
        buf[n + 1] = '\0';
    }
}

static void age(char *buf, size_t room, double seconds)
{
    long s = seconds < 0 ? 0 : static_cast<long>(seconds);
    if (s < 100)
        snprintf(buf, room, "%lds", s);
    else if (s < 100 * 60)
        snprintf(buf, room, "%ldm", s / 60);
    else if (s < 48 * 3600)
        snprintf(buf, room, "%ldh", s / 3600);
    else
        snprintf(buf, room, "%ldd", s / 86400);
}

static double value_named(const top_series *s, const char *name)
{
    int i = series_index(s, name);
    return i < 0 ? NAN : series_value(s, i);
}

// Sum over the series of the given types; NaN when none has a figure.
static double total(const top_host *h, int type_a, int type_b, const char *name,
                    const char *other)
{
    double sum = NAN;
    for (int i = 0; i < h->series_count; i++) {
        const top_series *s = &h->series[i];
        if (s->type != type_a && s->type != type_b)
            continue;
        double v = value_named(s, name);
        if (other)
            v += value_named(s, other);
        if (!std::isnan(v))
            sum = std::isnan(sum) ? v : sum + v;
    }
    return sum;
}

static void append(char *buf, size_t room, const char *text)
{
    size_t used = strlen(buf);
    if (used < room)
        snprintf(buf + used, room - used, "%s", text);
}

static void cpu_list(char *buf, size_t room, const top_host *h)
{
    buf[0] = '\0';
    for (int i = 0; i < h->series_count; i++) {
        const top_series *s = &h->series[i];
        if (s->type != STREAM_CPU && s->type != STREAM_CPUIOW)
            continue;
        double idle = value_named(s, "idle");
        char one[16];
        snprintf(one, sizeof(one), "%s%.0f", buf[0] ? "/" : "", 100 - idle);
        append(buf, room, std::isnan(idle) ? (buf[0] ? "/-" : "-") : one);
    }
    if (!buf[0])
        snprintf(buf, room, "-");
}

static void fullest(char *buf, size_t room, const top_host *h)
{
    double best = -1;
    const char *name = "";
    for (int i = 0; i < h->series_count; i++) {
        const top_series *s = &h->series[i];
        if (s->type != STREAM_DF)
            continue;
        // As df shows it: used of what is usable by users.
        double used = value_named(s, "blocks") - value_named(s, "free");
        double usable = used + value_named(s, "avail");
        if (usable > 0 && used / usable > best) {
            best = used / usable;
            name = s->argument;
        }
    }
    if (best < 0)
        snprintf(buf, room, "-");
    else
        snprintf(buf, room, "%.0f%% %.*s", 100 * best, TOP_CELL - 6, name);
}

void top_row_fill(top_row *r, const top_host *h, double now)
{
    r->silent = host_silent(h, now);
    age(r->age, sizeof(r->age), now - h->seen);
    double load = total(h, STREAM_LOAD, STREAM_LOAD, "load1", nullptr);
    if (std::isnan(load))
        snprintf(r->load, sizeof(r->load), "-");
    else
        snprintf(r->load, sizeof(r->load), "%.2f", load);
    cpu_list(r->cpu, sizeof(r->cpu), h);
    human(r->mem, sizeof(r->mem), total(h, STREAM_MEM, STREAM_MEM1, "used", nullptr), 1024);
    human(r->in, sizeof(r->in), 8 * total(h, STREAM_IF, STREAM_IF1, "ibytes", nullptr), 1000);
    human(r->out, sizeof(r->out), 8 * total(h, STREAM_IF, STREAM_IF1, "obytes", nullptr), 1000);
    human(r->ops, sizeof(r->ops), total(h, STREAM_IO, STREAM_IO, "rtransfers", "wtransfers"),
          1000);
    fullest(r->fs, sizeof(r->fs), h);
}

void top_plain_line(char *buf, size_t room, const top_host *h, const top_row *r)
{
    snprintf(buf, room, "%s age %s load %s cpu %s mem %s in %s out %s ops %s fs %s%s", h->name,
             r->age, r->load, r->cpu, r->mem, r->in, r->out, r->ops, r->fs,
             r->silent ? " silent" : "");
}

void top_value_text(const top_series *s, int i, char *name, size_t name_room, char *value,
                    size_t value_room)
{
    int count = 0;
    const data_source *ds = stream_data_sources(s->type, &count);
    bool known = ds != nullptr && i < count;
    snprintf(name, name_room, "%s", known ? ds[i].name : "?");
    human(value, value_room, series_value(s, i), 1000);
    if (known && ds[i].kind == DS_COUNTER)
        append(value, value_room, "/s");
}
