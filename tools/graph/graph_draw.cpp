// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// The graph call's arguments for each image and the call itself. Images
// are drawn beside their final name and renamed into place, so a browser
// never reads half an image.
#include "graph_draw.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <rrd.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "error.h"
#include "graph_text.h"
#include "types.h"

const graph_period graph_periods[GRAPH_PERIODS] = {
    {"hour", "last hour", 3600},
    {"day", "last day", 86400},
    {"week", "last week", 7 * 86400},
    {"year", "last year", 366 * 86400},
};

// Items beyond this many get a compact legend without figures.
enum { FIGURE_ITEMS = 6 };

static const char *const PALETTE[] = {"#cc0000", "#3465a4", "#4e9a06", "#f57900", "#75507b",
                                      "#c4a000", "#204a87", "#8f5902", "#ef2929", "#555753",
                                      "#729fcf", "#73d216"};

typedef std::vector<std::string> args;

static void common(args *a, const char *png, int width, int height, int seconds,
                   const std::string &title)
{
    a->insert(a->end(), {"graph", png, "--imgformat", "PNG", "--full-size-mode", "--width",
                         std::to_string(width), "--height", std::to_string(height), "--start",
                         "end-" + std::to_string(seconds), "--end", "now", "--title", title,
                         "--font", "LEGEND:7:DejaVu Sans Mono", "--slope-mode"});
}

static void limits(args *a, int flags)
{
    if (flags & GRAPH_PERCENT)
        a->insert(a->end(), {"--lower-limit", "0", "--upper-limit", "100", "--rigid"});
    else if (flags & GRAPH_ZERO)
        a->insert(a->end(), {"--lower-limit", "0"});
    if (flags & GRAPH_BINARY)
        a->insert(a->end(), {"--base", "1024"});
}

static int call(const char *png, args *a)
{
    std::string tmp = std::string(png) + ".tmp";
    (*a)[1] = tmp;
    std::vector<char *> argv;
    for (std::string &s : *a)
        argv.push_back(&s[0]);
    argv.push_back(nullptr);
    rrd_clear_error();
    // The library reads its arguments with getopt.
    optind = 0;
    rrd_info_t *result = rrd_graph_v(static_cast<int>(a->size()), argv.data());
    if (result == nullptr || rrd_test_error()) {
        warning("cannot draw %.200s: %.200s", png, rrd_get_error());
        rrd_clear_error();
        rrd_info_free(result);
        unlink(tmp.c_str());
        return 0;
    }
    rrd_info_free(result);
    if (rename(tmp.c_str(), png) != 0) {
        warning("cannot rename %.200s into place", tmp.c_str());
        unlink(tmp.c_str());
        return 0;
    }
    return 1;
}

// One item: its value as vI, its drawing (negated as nI below the axis)
// and, when there is room, its last, average and maximum.
static void item(args *a, int i, const graph_item *it, const std::string &legend, int figures)
{
    std::string v = "v" + std::to_string(i);
    a->push_back("CDEF:" + v + "=" + it->expr);
    std::string shown = v;
    if (it->draw & DRAW_BELOW) {
        shown = "n" + std::to_string(i);
        a->push_back("CDEF:" + shown + "=" + v + ",-1,*");
    }
    int how = it->draw & ~DRAW_BELOW;
    std::string element = how == DRAW_LINE ? "LINE1:" : "AREA:";
    element += shown + it->color + ":" + rrd_field(legend.c_str());
    if (how == DRAW_STACK)
        element += ":STACK";
    a->push_back(element);
    if (!figures)
        return;
    static const char *const FIGURES[][2] = {
        {"LAST", "last"}, {"AVERAGE", "avg"}, {"MAXIMUM", "max"}};
    for (const auto &f : FIGURES) {
        std::string vdef = std::string(f[1]) + std::to_string(i);
        a->push_back("VDEF:" + vdef + "=" + v + "," + f[0]);
        a->push_back("GPRINT:" + vdef + ":" + f[1] + " %7.2lf%s");
    }
    a->push_back("COMMENT:\\l");
}

int draw_stream_graph(const char *png, const graph_subject *subject, const graph_def *def,
                      const graph_period *period)
{
    std::string label = stream_label(subject->type, subject->argument);
    args a;
    common(&a, png, GRAPH_WIDTH, GRAPH_HEIGHT, period->seconds,
           std::string(subject->host) + " " + label + ": " + def->title + ", " + period->label);
    if (def->unit[0])
        a.insert(a.end(), {"--vertical-label", def->unit});
    limits(&a, def->flags);

    int count = 0;
    const data_source *ds = stream_data_sources(subject->type, &count);
    std::string file = rrd_field(subject->rrd);
    for (int i = 0; i < count; i++)
        a.push_back(std::string("DEF:") + ds[i].name + "=" + file + ":" + ds[i].name + ":AVERAGE");

    // Legends name the stream when it has an argument; the title names the host.
    std::string prefix = subject->argument[0] ? label + " " : "";
    std::vector<graph_item> items(def->items, def->items + def->count);
    int colors = static_cast<int>(sizeof(PALETTE) / sizeof(PALETTE[0]));
    if (def->count == 0)
        for (int i = 0; i < count; i++)
            items.push_back({ds[i].name, ds[i].name, PALETTE[i % colors], DRAW_LINE});
    int figures = items.size() <= FIGURE_ITEMS;
    // Padded to one width, so the figures line up in the monospaced legend.
    size_t width = 0;
    for (const graph_item &it : items)
        width = std::max(width, strlen(it.legend));
    for (size_t i = 0; i < items.size(); i++) {
        std::string legend = prefix + items[i].legend;
        if (figures)
            legend.resize(prefix.size() + width, ' ');
        item(&a, static_cast<int>(i), &items[i], legend, figures);
    }
    return call(png, &a);
}

static const graph_period *thumb_period = &graph_periods[0];

int draw_load_thumbnail(const char *png, const char *host, const char *rrd)
{
    args a;
    common(&a, png, THUMB_WIDTH, THUMB_HEIGHT, thumb_period->seconds,
           std::string(host) + " load");
    a.insert(a.end(), {"--no-legend", "--lower-limit", "0",
                       "DEF:load1=" + rrd_field(rrd) + ":load1:AVERAGE", "AREA:load1#f57900"});
    return call(png, &a);
}

int draw_cpu_thumbnail(const char *png, const char *host, const char *const *rrds, int count)
{
    args a;
    common(&a, png, THUMB_WIDTH, THUMB_HEIGHT, thumb_period->seconds,
           std::string(host) + " CPU busy %");
    a.insert(a.end(), {"--no-legend", "--lower-limit", "0", "--upper-limit", "100", "--rigid"});
    std::string sum;
    for (int i = 0; i < count; i++) {
        std::string vname = "idle" + std::to_string(i);
        a.push_back("DEF:" + vname + "=" + rrd_field(rrds[i]) + ":idle:AVERAGE");
        sum += i == 0 ? vname : "," + vname + ",+";
    }
    a.push_back("CDEF:busy=100," + sum + "," + std::to_string(count) + ",/,-");
    a.push_back("AREA:busy#3465a4");
    return call(png, &a);
}
