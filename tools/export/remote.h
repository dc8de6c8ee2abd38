// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// Remote write: every new value, as it arrives, goes to each receiver
// given with -r in Prometheus' remote-write protocol 1.0 (protobuf through
// protobuf-c, snappy, HTTP POST through libcurl). Each receiver has a
// thread and a queue of its own, bounded at REMOTE_QUEUE_SAMPLES: a request
// carries what came in a second, at most REMOTE_BATCH_SAMPLES; one that
// gets no answer or a 5xx is tried again, with backoff, while the queue
// holds what comes meanwhile; one refused with a 4xx is not. Values that
// find the queue full are dropped. All of it is counted in metrics and
// told once a minute.
#pragma once

#include <cstdint>

#include "exposition.h"
#include "webconf.h"

enum {
    REMOTE_BATCH_SAMPLES = 5000,
    REMOTE_QUEUE_SAMPLES = 1000000,
    REMOTE_RECEIVERS_MAX = 16,
};

// The series of a stream (one per data source) or of a host's liveness:
// their labels, packed once. Counted references: the queues hold them.
struct remote_series;

// A writer per URL, each with its thread: after the change of user.
void remote_start(const char *const *urls, int count, const web_client *client);
// 1 once writers run.
int remote_active();
// A stream's series: the type's data sources with host and the argument.
remote_series *remote_stream_series(int type, const char *host, const char *argument);
// A host's colvo_host_up and colvo_host_last_seen_timestamp_seconds.
remote_series *remote_host_series(const char *host);
void remote_release(remote_series *s);
// Values of the first count series, in their base units, at ms since
// the epoch, for every receiver.
void remote_push(remote_series *s, int64_t ms, const double *values, int count);
// The writers' metrics.
void remote_render(exposition *out);
// What is queued gets one more try, for two seconds at most; the rest
// is dropped and told.
void remote_stop();
