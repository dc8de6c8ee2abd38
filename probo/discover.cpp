// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
#include "discover.h"

#include <cstring>

#include "error.h"
#include "probe.h"
#include "types.h"
#include "xmalloc.h"

// What one type's probe listed in this look, asked once however many
// muxes want it.
struct name_list {
    char **names;
    int count;
    int asked;
};

static void take_name(void *receiver, const char *name)
{
    name_list *l = static_cast<name_list *>(receiver);
    for (int i = 0; i < l->count; i++)
        if (strcmp(l->names[i], name) == 0)
            return;
    l->names = static_cast<char **>(
        xrealloc(l->names, static_cast<size_t>(l->count + 1) * sizeof(char *)));
    l->names[l->count++] = xstrdup(name);
}

static const name_list *listed(name_list *lists, int type)
{
    name_list *l = &lists[type];
    if (!l->asked) {
        l->asked = 1;
        probe_table[type].discover(take_name, l);
    }
    return l;
}

// Takes the stream out of the chain at link, if there.
static stream *unlink_stream(stream **link, int type, const char *name)
{
    for (; *link; link = &(*link)->next) {
        stream *s = *link;
        if (s->type == type && strcmp(s->argument, name) == 0) {
            *link = s->next;
            s->next = nullptr;
            return s;
        }
    }
    return nullptr;
}

static int in_chain(const stream *s, int type, const char *name)
{
    for (; s; s = s->next)
        if (s->type == type && strcmp(s->argument, name) == 0)
            return 1;
    return 0;
}

static void push(stream_list *list, stream *s)
{
    s->next = list->first;
    list->first = s;
}

static found_set *set_of(discovery *d, const mux *m)
{
    for (found_set *f = d->sets; f; f = f->next)
        if (f->owner == m)
            return f;
    found_set *f = xnew_record<found_set>();
    f->owner = m;
    f->next = d->sets;
    d->sets = f;
    return f;
}

// The mux's found streams as the host has them now: those that stay keep
// their records, new ones are started, gone ones freed. 1 when it changed.
static int refresh_set(found_set *f, const mux *m, name_list *lists, stream_list *now_known)
{
    stream_list fresh = {};
    int changed = 0;
    for (const stream_pattern *p = m->patterns.first; p; p = p->next) {
        const name_list *l = listed(lists, p->type);
        for (int i = 0; i < l->count; i++) {
            const char *name = l->names[i];
            // Named in the braces too: sent once, as named.
            if (!pattern_takes(p, p->type, name) || mux_find_stream(m, p->type, name))
                continue;
            stream *s = unlink_stream(&f->streams.first, p->type, name);
            if (s == nullptr) {
                s = stream_new(p->type, name);
                probe_table[s->type].start(s);
                changed = 1;
            }
            push(&fresh, s);
            if (!in_chain(now_known->first, s->type, name))
                push(now_known, stream_new(s->type, name));
        }
    }
    changed |= f->streams.first != nullptr;
    stream_list_free(&f->streams);
    f->streams = fresh;
    return changed;
}

static void tell_changes(const stream_list *before, const stream_list *now)
{
    for (const stream *s = now->first; s; s = s->next)
        if (!in_chain(before->first, s->type, s->argument))
            info("%.200s(%.200s) found", stream_type_name(s->type), s->argument);
    for (const stream *s = before->first; s; s = s->next)
        if (!in_chain(now->first, s->type, s->argument))
            info("%.200s(%.200s) gone", stream_type_name(s->type), s->argument);
}

void discover(discovery *d, sender_list *senders, time_t now)
{
    name_list lists[PROBE_TABLE_SIZE] = {};
    stream_list now_known = {};
    for (sender *to = senders->first; to; to = to->next) {
        const mux *m = to->m;
        if (m->patterns.first == nullptr)
            continue;
        found_set *f = set_of(d, m);
        if (refresh_set(f, m, lists, &now_known))
            sender_size_packet(to, stream_list_send_size(&f->streams));
    }
    if (d->looked)
        tell_changes(&d->known, &now_known);
    stream_list_free(&d->known);
    d->known = now_known;
    d->looked = 1;
    d->next_look = now + (d->period > 0 ? d->period : 1);
    for (name_list &l : lists) {
        for (int i = 0; i < l.count; i++)
            xfree(l.names[i]);
        xfree(l.names);
    }
}

void discovery_forget(discovery *d)
{
    found_set *next;
    for (found_set *f = d->sets; f; f = next) {
        next = f->next;
        stream_list_free(&f->streams);
        xfree(f);
    }
    d->sets = nullptr;
}

const stream_list *found_streams(const discovery *d, const mux *m)
{
    for (const found_set *f = d ? d->sets : nullptr; f; f = f->next)
        if (f->owner == m)
            return &f->streams;
    return nullptr;
}

void discovery_free(discovery *d)
{
    discovery_forget(d);
    stream_list_free(&d->known);
}
