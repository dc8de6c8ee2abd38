// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// What remote write sends, apart from how: the series' labels, packed once;
// the queued batches of values; and a batch grouped by series, packed and
// snappy-compressed into a request's body.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "remote.pb-c.h"

enum { REMOTE_LABELS_MAX = 3 };

// The series of a stream (one per data source) or of a host's liveness:
// their labels, packed once. Counted references: the queues hold them.
struct remote_series {
    std::atomic<int> refs;
    int count;  // series
    int labels; // per series
    ProtobufCBinaryData *label; // count * labels, each a packed Label
};

// What is queued of one stream's values: the record, then count doubles.
struct remote_record {
    remote_series *series;
    int64_t ms;
    int count;
};

struct remote_batch {
    remote_batch *next;
    char *data;
    size_t used;
    size_t size;
    long samples;
    double opened; // monotonic seconds at its first record
};

// A series of a batch: which one, and its values.
struct remote_slot {
    remote_series *series;
    int index;
    int count;
};

// The request being made of a batch, its room kept from one to the next:
// for room values, and a table of twice as many places.
struct remote_request {
    size_t room;
    int *slot_of; // each value's slot
    remote_slot *slots;
    Colvo__TimeSeries *series;
    Colvo__TimeSeries **series_list;
    Colvo__Sample *samples;
    Colvo__Sample **sample_list;
    int *table; // open addressing over the slots, -1 empty
    uint8_t *packed;
    size_t packed_room;
    char *body;
    size_t body_room;
    size_t body_length;
};

// A stream's series: the type's data sources with host and the argument.
remote_series *remote_stream_series(int type, const char *host, const char *argument);
// A host's colvo_host_up and colvo_host_last_seen_timestamp_seconds.
remote_series *remote_host_series(const char *host);
void remote_hold(remote_series *s);
void remote_release(remote_series *s);
// Releases the batch's series and frees it.
void remote_batch_free(remote_batch *b);
// Groups the batch's values by series, in the order they came, and makes
// the compressed body.
void remote_request_make(remote_request *q, const remote_batch *b);
// Frees the request's room.
void remote_request_free(remote_request *q);
