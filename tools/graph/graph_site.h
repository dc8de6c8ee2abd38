// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// colvo-graph's site: the hosts and streams of a configuration with their
// databases, which images are out of date and drawing them, and the
// names of every file of the site.
#pragma once

#include <ctime>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "graph_draw.h"
#include "lists.h"

struct site_stream {
    int type;
    std::string argument;
    std::string rrd;  // database file
    std::string slug; // image names start with it; also the page anchor
    bool present;     // the database exists
    timespec changed; // its modification time
    time_t last;      // its last update, 0 when unknown
};

struct site_host {
    std::string name;
    std::string slug; // its directory below the output directory
    std::vector<site_stream> streams;
    time_t last; // newest update of its databases, 0 when none
};

struct site_counts {
    int drawn;
    int current; // images left alone: their database has not changed
    int failed;
};

// Hosts in name order, each with the streams that have a database file
// name, in type name and argument order.
std::vector<site_host> site_hosts(const mux *m);

std::string image_name(const site_stream *s, const graph_def *def, const graph_period *period);
extern const char THUMB_LOAD[];
extern const char THUMB_CPU[];

// Draws what is missing or older than its databases into out/<host slug>/.
void site_draw(const std::string &out, const std::vector<site_host> &hosts, site_counts *counts);

// The thumbnails a host has, by the streams it has.
bool has_load_thumbnail(const site_host *h);
bool has_cpu_thumbnail(const site_host *h);
