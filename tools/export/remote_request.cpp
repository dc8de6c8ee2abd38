// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// Remote write's series, batches and request bodies: see request.h.
#include "remote_request.h"

#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <new>
#include <snappy-c.h>

#include "catalogue.h"
#include "error.h"
#include "exposition.h"
#include "xmalloc.h"

namespace {

template <typename T>
void grow(T **p, size_t *room, size_t wanted)
{
    if (*room >= wanted)
        return;
    size_t n = *room ? *room : 1024;
    while (n < wanted)
        n *= 2;
    *p = static_cast<T *>(xrealloc(*p, n * sizeof(T)));
    *room = n;
}

void make_room(remote_request *q, size_t values)
{
    if (values <= q->room)
        return;
    size_t n = q->room ? q->room : 1024;
    while (n < values)
        n *= 2;
    q->slot_of = static_cast<int *>(xrealloc(q->slot_of, n * sizeof(int)));
    q->slots = static_cast<remote_slot *>(xrealloc(q->slots, n * sizeof(remote_slot)));
    q->series = static_cast<Colvo__TimeSeries *>(xrealloc(q->series, n * sizeof(Colvo__TimeSeries)));
    q->series_list = static_cast<Colvo__TimeSeries **>(xrealloc(q->series_list, n * sizeof(Colvo__TimeSeries *)));
    q->samples = static_cast<Colvo__Sample *>(xrealloc(q->samples, n * sizeof(Colvo__Sample)));
    q->sample_list = static_cast<Colvo__Sample **>(xrealloc(q->sample_list, n * sizeof(Colvo__Sample *)));
    q->table = static_cast<int *>(xrealloc(q->table, 2 * n * sizeof(int)));
    q->room = n;
}

// Series of count label sets, each the pairs given for it, sorted and
// packed.
remote_series *make_series(int count, int labels, const char *(*pairs)[REMOTE_LABELS_MAX][2])
{
    size_t total = 0;
    for (int i = 0; i < count; i++)
        for (int j = 0; j < labels; j++) {
            Colvo__Label l = COLVO__LABEL__INIT;
            l.name = const_cast<char *>(pairs[i][j][0]);
            l.value = const_cast<char *>(pairs[i][j][1]);
            total += colvo__label__get_packed_size(&l);
        }
    size_t head = sizeof(remote_series) + sizeof(ProtobufCBinaryData) * static_cast<size_t>(count * labels);
    char *block = static_cast<char *>(xmalloc(head + total));
    remote_series *s = new (block) remote_series;
    s->refs = 1;
    s->count = count;
    s->labels = labels;
    s->label = reinterpret_cast<ProtobufCBinaryData *>(block + sizeof(remote_series));
    uint8_t *at = reinterpret_cast<uint8_t *>(block + head);
    for (int i = 0; i < count; i++) {
        // Sorted by name, as receivers want them.
        int order[REMOTE_LABELS_MAX];
        for (int j = 0; j < labels; j++) {
            int k = j;
            while (k > 0 && strcmp(pairs[i][order[k - 1]][0], pairs[i][j][0]) > 0) {
                order[k] = order[k - 1];
                k--;
            }
            order[k] = j;
        }
        for (int j = 0; j < labels; j++) {
            Colvo__Label l = COLVO__LABEL__INIT;
            l.name = const_cast<char *>(pairs[i][order[j]][0]);
            l.value = const_cast<char *>(pairs[i][order[j]][1]);
            size_t n = colvo__label__pack(&l, at);
            s->label[i * labels + j] = {n, at};
            at += n;
        }
    }
    return s;
}

} // namespace

void remote_hold(remote_series *s)
{
    s->refs.fetch_add(1, std::memory_order_relaxed);
}

void remote_batch_free(remote_batch *b)
{
    for (size_t at = 0; at < b->used;) {
        const remote_record *r = reinterpret_cast<const remote_record *>(b->data + at);
        remote_release(r->series);
        at += sizeof(remote_record) + sizeof(double) * static_cast<size_t>(r->count);
    }
    xfree(b->data);
    xfree(b);
}

// Groups the batch's values by series, in the order they came, and makes
// the compressed body.
void remote_request_make(remote_request *q, const remote_batch *b)
{
    size_t values = static_cast<size_t>(b->samples);
    make_room(q, values);
    // A power of two at least twice the values, within twice the room.
    size_t table = 16;
    while (table < 2 * values)
        table *= 2;
    memset(q->table, 0xff, sizeof(int) * table);

    int used = 0;
    size_t v = 0;
    for (size_t at = 0; at < b->used;) {
        const remote_record *r = reinterpret_cast<const remote_record *>(b->data + at);
        for (int i = 0; i < r->count; i++, v++) {
            uint64_t h = (reinterpret_cast<uintptr_t>(r->series) ^ static_cast<uint64_t>(i)) * 0x9e3779b97f4a7c15ull;
            size_t k = static_cast<size_t>(h >> 20) & (table - 1);
            while (q->table[k] >= 0 && (q->slots[q->table[k]].series != r->series || q->slots[q->table[k]].index != i))
                k = (k + 1) & (table - 1);
            if (q->table[k] < 0) {
                q->table[k] = used;
                q->slots[used++] = {r->series, i, 0};
            }
            q->slot_of[v] = q->table[k];
            q->slots[q->table[k]].count++;
        }
        at += sizeof(remote_record) + sizeof(double) * static_cast<size_t>(r->count);
    }
    int at_sample = 0;
    for (int s = 0; s < used; s++) {
        const remote_slot &one = q->slots[s];
        Colvo__TimeSeries *ts = &q->series[s];
        colvo__time_series__init(ts);
        ts->n_labels = static_cast<size_t>(one.series->labels);
        ts->labels = one.series->label + one.index * one.series->labels;
        ts->n_samples = 0;
        ts->samples = q->sample_list + at_sample;
        at_sample += one.count;
        q->series_list[s] = ts;
    }
    v = 0;
    for (size_t at = 0; at < b->used;) {
        const remote_record *r = reinterpret_cast<const remote_record *>(b->data + at);
        const double *values_of = reinterpret_cast<const double *>(r + 1);
        for (int i = 0; i < r->count; i++, v++) {
            Colvo__Sample *sample = &q->samples[v];
            colvo__sample__init(sample);
            sample->value = values_of[i];
            sample->timestamp = r->ms;
            Colvo__TimeSeries *ts = &q->series[q->slot_of[v]];
            ts->samples[ts->n_samples++] = sample;
        }
        at += sizeof(remote_record) + sizeof(double) * static_cast<size_t>(r->count);
    }
    Colvo__WriteRequest w = COLVO__WRITE_REQUEST__INIT;
    w.n_timeseries = static_cast<size_t>(used);
    w.timeseries = q->series_list;
    size_t packed = colvo__write_request__get_packed_size(&w);
    grow(&q->packed, &q->packed_room, packed);
    colvo__write_request__pack(&w, q->packed);
    size_t compressed = snappy_max_compressed_length(packed);
    grow(&q->body, &q->body_room, compressed);
    q->body_length = compressed;
    if (snappy_compress(reinterpret_cast<const char *>(q->packed), packed, q->body, &q->body_length) != SNAPPY_OK)
        fatal("cannot compress a remote-write remote_request of %zu bytes", packed);
}

void remote_request_free(remote_request *q)
{
    for (void *p : {static_cast<void *>(q->slot_of), static_cast<void *>(q->slots), static_cast<void *>(q->table),
                    static_cast<void *>(q->series), static_cast<void *>(q->series_list),
                    static_cast<void *>(q->samples), static_cast<void *>(q->sample_list),
                    static_cast<void *>(q->packed), static_cast<void *>(q->body)})
        xfree(p);
}

remote_series *remote_stream_series(int type, const char *host, const char *argument)
{
    const stream_row *row = stream_row_of(type);
    char names[32][catalogue::METRIC_NAME_ROOM + 8];
    const char *pairs[32][REMOTE_LABELS_MAX][2];
    int count = row->source_count < 32 ? row->source_count : 32;
    for (int d = 0; d < count; d++) {
        snprintf(names[d], sizeof(names[d]), "%s%s", export_family(type, d),
                 row->sources[d].kind == DS_COUNTER ? "_total" : "");
        pairs[d][0][0] = "__name__";
        pairs[d][0][1] = names[d];
        pairs[d][1][0] = "host";
        pairs[d][1][1] = host;
        pairs[d][2][0] = row->argument;
        pairs[d][2][1] = argument;
    }
    return make_series(count, row->argument ? 3 : 2, pairs);
}

remote_series *remote_host_series(const char *host)
{
    const char *pairs[2][REMOTE_LABELS_MAX][2] = {
        {{"__name__", "colvo_host_up"}, {"host", host}, {nullptr, nullptr}},
        {{"__name__", "colvo_host_last_seen_timestamp_seconds"}, {"host", host}, {nullptr, nullptr}},
    };
    return make_series(2, 2, pairs);
}

void remote_release(remote_series *s)
{
    if (s && s->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        s->~remote_series();
        xfree(s);
    }
}
