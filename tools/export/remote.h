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

// A stream's or a host's series (remote_request.h).
struct remote_series;

// A writer per URL, each with its thread: after the change of user.
void remote_start(const char *const *urls, int count, const web_client *client);
// 1 once writers run.
int remote_active();
// Values of the first count series, in their base units, at ms since
// the epoch, for every receiver.
void remote_push(remote_series *s, int64_t ms, const double *values, int count);
// The writers' metrics.
void remote_render(exposition *out);
// What is queued gets one more try, for two seconds at most; the rest
// is dropped and told.
void remote_stop();
