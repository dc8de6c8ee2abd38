// What each value of each stream type means, as round-robin database data
// sources: a name and whether it is a running counter or a gauge.
#pragma once

enum ds_kind { DS_GAUGE = 0, DS_COUNTER = 1 };

struct data_source {
    const char *name;
    ds_kind kind;
};

// The sources of a type, one per value of its format, in value order;
// count set to the number of values. Null for a type without a table row.
const data_source *stream_data_sources(int type, int *count);
