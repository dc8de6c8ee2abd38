// What each stream type means: its values as round-robin database data
// sources (a name and whether it is a running counter or a gauge), and
// the graphs a person expects of it. One table row per type, so a new
// stream type is described once.
#pragma once

enum ds_kind { DS_GAUGE = 0, DS_COUNTER = 1 };

struct data_source {
    const char *name;
    ds_kind kind;
};

// How an item is drawn; DRAW_BELOW mirrors it under the axis (outgoing
// traffic, writes) while its legend still shows the positive figures.
enum graph_draw { DRAW_LINE = 0, DRAW_AREA = 1, DRAW_STACK = 2, DRAW_BELOW = 4 };

struct graph_item {
    const char *expr;   // RPN over the type's data source names; counters are rates
    const char *legend; // what the item is
    const char *color;  // "#rrggbb"
    int draw;           // graph_draw, DRAW_BELOW may be or'ed in
};

enum graph_flag {
    GRAPH_PERCENT = 1, // fixed 0..100
    GRAPH_BINARY = 2,  // bytes in powers of 1024
    GRAPH_ZERO = 4,    // never below 0
};

struct graph_def {
    const char *name;  // part of the image file name
    const char *title; // after host and stream in the graph's title
    const char *unit;  // vertical label
    int flags;
    const graph_item *items;
    int count; // 0: every data source as a line of its own
};

// The sources of a type, one per value of its format, in value order;
// count set to the number of values. Null for a type without a table row.
const data_source *stream_data_sources(int type, int *count);

// The graphs of a type; count set to their number. Null for a type
// without a table row.
const graph_def *stream_graphs(int type, int *count);
