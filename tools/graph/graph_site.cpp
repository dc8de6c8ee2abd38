// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// Which images of the site are out of date, and drawing them. An image is
// redrawn when its databases changed after it was drawn, but not sooner
// than one pixel column of its period later: the year graph of a database
// updated every few seconds is not redrawn on every run.
#include "graph_site.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <rrd.h>

#include "error.h"
#include "graph_text.h"
#include "rrd_make.h"
#include "types.h"

const char THUMB_LOAD[] = "thumb-load.png";
const char THUMB_CPU[] = "thumb-cpu.png";

// Roughly the columns of a graph's drawing area.
enum { GRAPH_COLUMNS = 500 };

static bool before(const timespec &a, const timespec &b)
{
    return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

static bool by_name(const site_stream &a, const site_stream &b)
{
    int c = strcmp(stream_type_name(a.type), stream_type_name(b.type));
    if (c != 0)
        return c < 0;
    return strverscmp(a.argument.c_str(), b.argument.c_str()) < 0;
}

static void add_stream(site_host *h, int type, const std::string &argument, const std::string &file)
{
    for (const site_stream &known : h->streams)
        if (known.rrd == file)
            return;
    site_stream ss = {type, argument, file, "", false, {0, 0}, 0};
    // Type names have no "_" and slugs escape theirs: no two streams share one.
    ss.slug = stream_type_name(type);
    if (!argument.empty())
        ss.slug += "_" + file_slug(argument.c_str());
    struct stat st;
    if (stat(file.c_str(), &st) == 0) {
        ss.present = true;
        ss.changed = st.st_mtim;
        rrd_clear_error();
        time_t last = rrd_last_r(file.c_str());
        ss.last = last > 0 ? last : 0;
        rrd_clear_error();
    }
    h->last = std::max(h->last, ss.last);
    h->streams.push_back(ss);
}

// The databases colvo made in a data directory for what the source's
// patterns took.
static void add_taken(site_host *h, const source *src)
{
    const source_rules *r = src->rules;
    DIR *d = r && r->patterns.first && r->datadir ? opendir(r->datadir) : nullptr;
    if (d == nullptr)
        return;
    while (const dirent *e = readdir(d)) {
        int type;
        char argument[PACKET_MAX_ARGUMENT + 1];
        if (rrd_file_stream(e->d_name, &type, argument, sizeof(argument)) &&
            pattern_list_find(&r->patterns, type, argument))
            add_stream(h, type, argument, std::string(r->datadir) + "/" + e->d_name);
    }
    closedir(d);
}

std::vector<site_host> site_hosts(const mux *m)
{
    std::vector<site_host> hosts;
    for (const source *src = m->sources.first; src; src = src->next) {
        site_host h = {src->name, file_slug(src->name), {}, 0};
        for (const stream *s = src->streams.first; s; s = s->next)
            if (s->rrd_file)
                add_stream(&h, s->type, s->argument, s->rrd_file);
        add_taken(&h, src);
        std::sort(h.streams.begin(), h.streams.end(), by_name);
        hosts.push_back(h);
    }
    std::sort(hosts.begin(), hosts.end(), [](const site_host &a, const site_host &b) {
        return strverscmp(a.name.c_str(), b.name.c_str()) < 0;
    });
    return hosts;
}

std::string image_name(const site_stream *s, const graph_def *def, const graph_period *period)
{
    return s->slug + "-" + def->name + "-" + period->name + ".png";
}

// The host's load stream that has a database, or null.
static const site_stream *load_stream(const site_host *h)
{
    for (const site_stream &s : h->streams)
        if (s.present && s.type == STREAM_LOAD)
            return &s;
    return nullptr;
}

bool has_load_thumbnail(const site_host *h)
{
    return load_stream(h) != nullptr;
}

static bool is_cpu(const site_stream &s)
{
    return s.present && (s.type == STREAM_CPU || s.type == STREAM_CPUIOW);
}

bool has_cpu_thumbnail(const site_host *h)
{
    return std::any_of(h->streams.begin(), h->streams.end(), is_cpu);
}

// Whether the image must be drawn, given the newest change of its databases.
static bool out_of_date(const std::string &png, const timespec &changed, int period_seconds,
                        time_t now)
{
    struct stat st;
    if (stat(png.c_str(), &st) != 0)
        return true;
    if (!before(st.st_mtim, changed))
        return false;
    return now - st.st_mtim.tv_sec >= period_seconds / GRAPH_COLUMNS;
}

static void count(site_counts *counts, const std::string &png, int ok)
{
    if (ok) {
        counts->drawn++;
        debug("drew %.200s", png.c_str());
    } else {
        counts->failed++;
    }
}

static void draw_thumbnails(const std::string &dir, const site_host *h, time_t now,
                            site_counts *counts)
{
    const graph_period *hour = &graph_periods[0];
    if (const site_stream *load = load_stream(h)) {
        std::string png = dir + THUMB_LOAD;
        if (out_of_date(png, load->changed, hour->seconds, now))
            count(counts, png,
                  draw_load_thumbnail(png.c_str(), h->name.c_str(), load->rrd.c_str()));
        else
            counts->current++;
    }
    std::vector<const char *> cpus;
    timespec newest = {0, 0};
    for (const site_stream &s : h->streams) {
        if (!is_cpu(s))
            continue;
        cpus.push_back(s.rrd.c_str());
        if (before(newest, s.changed))
            newest = s.changed;
    }
    if (cpus.empty())
        return;
    std::string png = dir + THUMB_CPU;
    if (out_of_date(png, newest, hour->seconds, now))
        count(counts, png,
              draw_cpu_thumbnail(png.c_str(), h->name.c_str(), cpus.data(),
                                 static_cast<int>(cpus.size())));
    else
        counts->current++;
}

void site_draw(const std::string &out, const std::vector<site_host> &hosts, site_counts *counts)
{
    time_t now = time(nullptr);
    for (const site_host &h : hosts) {
        std::string dir = out + "/" + h.slug + "/";
        if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) {
            warning("cannot make directory %.200s: %.200s", dir.c_str(), strerror(errno));
            counts->failed++;
            continue;
        }
        for (const site_stream &s : h.streams) {
            if (!s.present)
                continue;
            int n = 0;
            const graph_def *defs = stream_graphs(s.type, &n);
            graph_subject subject = {h.name.c_str(), s.type, s.argument.c_str(), s.rrd.c_str()};
            for (int g = 0; g < n; g++)
                for (const graph_period &p : graph_periods) {
                    std::string png = dir + image_name(&s, &defs[g], &p);
                    if (out_of_date(png, s.changed, p.seconds, now))
                        count(counts, png, draw_stream_graph(png.c_str(), &subject, &defs[g], &p));
                    else
                        counts->current++;
                }
        }
        draw_thumbnails(dir, &h, now, counts);
    }
}
