// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// Drawing colvo-graph's images with RRDtool's graph call: one graph of a
// stream over a period, and the two thumbnails of a host.
#pragma once

#include "graph_table.h"
#include "types.h"

// Whole image sizes in pixels, legend and title included.
enum { GRAPH_WIDTH = 640, GRAPH_HEIGHT = 300, THUMB_WIDTH = 300, THUMB_HEIGHT = 120 };

struct graph_period {
    const char *name;  // part of the image file name
    const char *label; // in titles and pages
    int seconds;
};

enum { GRAPH_PERIODS = 4 };
extern const graph_period graph_periods[GRAPH_PERIODS];

// What a graph is of: the host and stream name the title and legends.
struct graph_subject {
    const char *host;
    int type;
    const char *argument;
    const char *rrd; // database file
};

// Each gives 1 when the image was written to png, 0 after a warning.
int draw_stream_graph(const char *png, const graph_subject *subject, const graph_def *def,
                      const graph_period *period);
int draw_load_thumbnail(const char *png, const char *host, const char *rrd);
// The busy share averaged over the databases of the host's CPUs.
int draw_cpu_thumbnail(const char *png, const char *host, const char *const *rrds, int count);
