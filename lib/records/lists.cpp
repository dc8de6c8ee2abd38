// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
#include "lists.h"

#include <cstring>
#include <netdb.h>
#include <netinet/in.h>

#include "error.h"
#include "fifoline.h"
#include "net.h"
#include "types.h"
#include "xmalloc.h"

static int same_text(const char *a, const char *b)
{
    return strncmp(a, b, NAME_COMPARE_MAX) == 0;
}

static uint32_t text_hash(uint32_t hash, const char *text)
{
    return index_hash_bytes(hash, text, strnlen(text, NAME_COMPARE_MAX));
}

struct stream_key {
    int type;
    const char *argument;
};

static uint32_t stream_key_hash(int type, const char *argument)
{
    unsigned char t = static_cast<unsigned char>(type);
    return text_hash(index_hash_bytes(INDEX_HASH_START, &t, 1), argument);
}

static uint32_t stream_hash(const void *record)
{
    const stream *s = static_cast<const stream *>(record);
    return s->key_hash;
}

static int stream_matches(const void *record, const void *key)
{
    const stream *s = static_cast<const stream *>(record);
    const stream_key *k = static_cast<const stream_key *>(key);
    return s->type == k->type && same_text(s->argument, k->argument);
}

static uint32_t mux_hash(const void *record)
{
    return text_hash(INDEX_HASH_START, static_cast<const mux *>(record)->name);
}

static int mux_matches(const void *record, const void *name)
{
    return same_text(static_cast<const mux *>(record)->name, static_cast<const char *>(name));
}

// Family and host address, as same_host compares them.
static uint32_t address_hash(const sockaddr *a)
{
    uint32_t hash = index_hash_bytes(INDEX_HASH_START, &a->sa_family, sizeof(a->sa_family));
    if (a->sa_family == AF_INET) {
        const sockaddr_in *in = reinterpret_cast<const sockaddr_in *>(a);
        return index_hash_bytes(hash, &in->sin_addr, sizeof(in->sin_addr));
    }
    if (a->sa_family == AF_INET6) {
        const sockaddr_in6 *in6 = reinterpret_cast<const sockaddr_in6 *>(a);
        return index_hash_bytes(hash, &in6->sin6_addr, sizeof(in6->sin6_addr));
    }
    return hash;
}

static uint32_t source_hash(const void *record)
{
    return address_hash(&static_cast<const source *>(record)->socket_address.sa);
}

static int source_matches(const void *record, const void *address)
{
    return same_host(&static_cast<const source *>(record)->socket_address.sa,
                     static_cast<const sockaddr *>(address));
}

// A walked list's records were made one after another with their source
// when the configuration was read, so they mostly lie just after it: the
// lines from the source to its first stream are asked for, at most this
// many bytes of them. Where they lie elsewhere, only the first stream's
// request serves.
enum { PREFETCH_SPAN = 1024, CACHE_LINE = 64 };

void source_prefetch_streams(const source *src)
{
    const record_index *ix = &src->streams.index;
    if (src->packed) {
        const char *from = reinterpret_cast<const char *>(src->streams.first);
        uint32_t span = src->packed < uint32_t{PREFETCH_SPAN} ? src->packed : uint32_t{PREFETCH_SPAN};
        for (uint32_t at = 0; at < span; at += CACHE_LINE)
            __builtin_prefetch(from + at);
        return;
    }
    if (ix->slots == nullptr) {
        const char *from = reinterpret_cast<const char *>(src + 1);
        const char *to = reinterpret_cast<const char *>(src->streams.first + 1);
        if (to > from && to - from <= PREFETCH_SPAN)
            for (const char *line = from; line < to + CACHE_LINE; line += CACHE_LINE)
                __builtin_prefetch(line);
        else if (src->streams.first)
            __builtin_prefetch(src->streams.first);
        return;
    }
    // A record and the argument after it may straddle two cache lines.
    for (uint32_t i = 0; i <= ix->mask; i++)
        if (ix->slots[i]) {
            __builtin_prefetch(ix->slots[i]);
            __builtin_prefetch(static_cast<const stream *>(ix->slots[i]) + 1);
        }
}

int source_set_address(source *src, const sockaddr_storage *address)
{
    size_t size = address->ss_family == AF_INET    ? sizeof(sockaddr_in)
                  : address->ss_family == AF_INET6 ? sizeof(sockaddr_in6)
                                                   : 0;
    if (size == 0)
        return 0;
    memset(&src->socket_address, 0, sizeof(src->socket_address));
    memcpy(&src->socket_address, address, size);
    return 1;
}

int lookup_source_address(source *src, int family)
{
    resolved_host host;
    if (!getip(src->name, family, &host))
        return 0;
    return source_set_address(src, &host.address);
}

void lookup_mux_address(const mux *m, int socktype, sockaddr_storage *out)
{
    if (!getaddr(m->address, m->port, socktype, AI_PASSIVE, out))
        fatal("could not get address information for %.200s %.200s", m->address, m->port);
}

stream *stream_new(int type, const char *argument)
{
    if (type < 0 || type >= STREAM_TYPE_COUNT)
        fatal("%s:%d: internal error: stream type unknown", __FILE__, __LINE__);
    const char *text = argument ? argument : "";
    size_t length = strlen(text);
    stream *s = static_cast<stream *>(xzalloc(sizeof(stream) + length + 1));
    s->type = type;
    s->argument = reinterpret_cast<char *>(s + 1);
    memcpy(s->argument, text, length + 1);
    s->key_hash = stream_key_hash(type, s->argument);
    return s;
}

static stream *find_stream(const stream_list *list, int type, const char *argument)
{
    if (argument == nullptr)
        return nullptr;
    stream_key key = {type, argument};
    uint32_t hash = stream_key_hash(type, argument);
    if (list->index.slots)
        return static_cast<stream *>(index_find(&list->index, hash, stream_matches, &key));
    // A short list has no index; its names are compared only where the
    // hashes agree.
    for (stream *s = list->first; s; s = s->next)
        if (s->key_hash == hash && stream_matches(s, &key))
            return s;
    return nullptr;
}

// Short lists are walked, and get their index once they reach this
// length: the multiplexer keeps thousands of sources of a few streams each,
// and for those a walk is as quick as the index without its table.
enum { STREAM_INDEX_MIN = 16 };

// Indexes a list that has reached that length, its records in the order
// they were added (the list's reverse), as the index takes them.
static void index_streams(stream_list *list)
{
    int length = 0;
    for (const stream *s = list->first; s; s = s->next)
        length++;
    stream **added = static_cast<stream **>(xmalloc(static_cast<size_t>(length) * sizeof(stream *)));
    int i = length;
    for (stream *s = list->first; s; s = s->next)
        added[--i] = s;
    for (i = 0; i < length; i++)
        index_add(&list->index, added[i], stream_hash);
    xfree(added);
}

static int reaches(const stream_list *list, int length)
{
    for (const stream *s = list->first; s && length > 0; s = s->next)
        length--;
    return length == 0;
}

static stream *add_stream(stream_list *list, int type, const char *argument)
{
    if (type < 0 || type >= STREAM_TYPE_COUNT)
        fatal("%s:%d: internal error: stream type unknown", __FILE__, __LINE__);
    if (argument && find_stream(list, type, argument))
        return nullptr;
    stream *s = stream_new(type, argument);
    s->next = list->first;
    list->first = s;
    if (list->index.slots)
        index_add(&list->index, s, stream_hash);
    else if (reaches(list, STREAM_INDEX_MIN))
        index_streams(list);
    return s;
}

stream *stream_list_find(const stream_list *list, int type, const char *argument)
{
    return find_stream(list, type, argument);
}

stream *stream_list_add(stream_list *list, int type, const char *argument)
{
    return add_stream(list, type, argument);
}

stream *source_find_stream(const source *src, int type, const char *argument)
{
    return src ? find_stream(&src->streams, type, argument) : nullptr;
}

stream *source_add_stream(source *src, int type, const char *argument)
{
    if (src && src->packed)
        fatal("%s:%d: internal error: stream added to a packed source", __FILE__, __LINE__);
    return src ? add_stream(&src->streams, type, argument) : nullptr;
}

// A record's room in a packed block: the record, its argument, aligned for
// the next.
static size_t packed_room(const stream *s)
{
    size_t room = sizeof(stream) + strlen(s->argument) + 1;
    return (room + alignof(stream) - 1) & ~(alignof(stream) - 1);
}

void source_pack_streams(source *src)
{
    // An indexed list keeps its records: its index points at them.
    if (src->packed || src->streams.first == nullptr || src->streams.index.slots)
        return;
    size_t size = 0;
    for (const stream *s = src->streams.first; s; s = s->next)
        size += packed_room(s);
    if (size > UINT32_MAX)
        return;
    char *block = static_cast<char *>(xmalloc(size));
    stream **link = &src->streams.first;
    char *at = block;
    for (stream *s = src->streams.first, *next; s; s = next) {
        next = s->next;
        stream *moved = reinterpret_cast<stream *>(at);
        memcpy(moved, s, sizeof(stream) + strlen(s->argument) + 1);
        moved->argument = reinterpret_cast<char *>(moved + 1);
        *link = moved;
        link = &moved->next;
        at += packed_room(s);
        xfree(s);
    }
    *link = nullptr;
    src->packed = static_cast<uint32_t>(size);
}

source_rules *source_rules_of(source *src)
{
    if (src->rules == nullptr) {
        src->rules = xnew_record<source_rules>();
        src->rules->max_files = SOURCE_MAX_FILES;
    }
    return src->rules;
}

stream *mux_find_stream(const mux *m, int type, const char *argument)
{
    return m ? find_stream(&m->streams, type, argument) : nullptr;
}

stream *mux_add_stream(mux *m, int type, const char *argument)
{
    return m ? add_stream(&m->streams, type, argument) : nullptr;
}

static uint32_t source_name_hash(const void *record)
{
    return text_hash(INDEX_HASH_START, static_cast<const source *>(record)->name);
}

static int source_name_matches(const void *record, const void *name)
{
    return same_text(static_cast<const source *>(record)->name, static_cast<const char *>(name));
}

source *source_list_find(const source_list *list, const char *name)
{
    if (list == nullptr || name == nullptr)
        return nullptr;
    if (list->by_name.slots)
        return static_cast<source *>(index_find(&list->by_name, text_hash(INDEX_HASH_START, name),
                                                source_name_matches, name));
    for (source *s = list->first; s; s = s->next)
        if (same_text(s->name, name))
            return s;
    return nullptr;
}

source *source_list_find_by_address(const source_list *list, const sockaddr_storage *address)
{
    if (list == nullptr || address == nullptr)
        return nullptr;
    const sockaddr *host = reinterpret_cast<const sockaddr *>(address);
    if (list->by_address.slots)
        return static_cast<source *>(
            index_find(&list->by_address, address_hash(host), source_matches, host));
    for (source *s = list->first; s; s = s->next)
        if (same_host(&s->socket_address.sa, host))
            return s;
    return nullptr;
}

void source_list_index_addresses(source_list *list)
{
    index_free(&list->by_address);
    index_reserve(&list->by_address, list->by_name.count);
    for (source *s = list->first; s; s = s->next)
        index_add(&list->by_address, s, source_hash);
}

source *source_list_add(source_list *list, const char *name)
{
    if (list == nullptr || source_list_find(list, name))
        return nullptr;
    // The name shares the record's allocation, as a stream's argument does.
    size_t length = strlen(name);
    source *s = static_cast<source *>(xzalloc(sizeof(source) + length + 1));
    memcpy(s->name, name, length + 1);
    if (list->first == nullptr || list->by_name.slots)
        index_add(&list->by_name, s, source_name_hash);
    s->next = list->first;
    list->first = s;
    return s;
}

mux *mux_list_find(const mux_list *list, const char *name)
{
    if (list == nullptr || name == nullptr)
        return nullptr;
    if (list->by_name.slots)
        return static_cast<mux *>(
            index_find(&list->by_name, text_hash(INDEX_HASH_START, name), mux_matches, name));
    for (mux *m = list->first; m; m = m->next)
        if (same_text(m->name, name))
            return m;
    return nullptr;
}

mux *mux_list_add(mux_list *list, const char *name)
{
    if (list == nullptr || mux_list_find(list, name))
        return nullptr;
    mux *m = xnew_record<mux>();
    m->name = xstrdup(name);
    if (list->first == nullptr || list->by_name.slots)
        index_add(&list->by_name, m, mux_hash);
    m->next = list->first;
    list->first = m;
    return m;
}

mux *mux_list_rename(mux_list *list, mux *m, const char *name)
{
    if (list == nullptr || m == nullptr || mux_list_find(list, name))
        return nullptr;
    int indexed = list->by_name.slots != nullptr;
    if (indexed)
        index_remove(&list->by_name, m, mux_hash);
    xfree(m->name);
    m->name = xstrdup(name);
    if (indexed)
        index_add(&list->by_name, m, mux_hash);
    return m;
}

void stream_list_free(stream_list *list)
{
    if (list == nullptr)
        return;
    stream *next;
    for (stream *s = list->first; s; s = next) {
        next = s->next;
        // The database file or the probe state: they share a place.
        xfree(s->rrd_file);
        xfree(s);
    }
    index_free(&list->index);
}

void source_list_free(source_list *list)
{
    if (list == nullptr)
        return;
    source *next;
    for (source *s = list->first; s; s = next) {
        next = s->next;
        if (s->packed) {
            // One block, starting with the first record.
            for (stream *st = s->streams.first; st; st = st->next)
                xfree(st->rrd_file);
            xfree(s->streams.first);
        } else {
            stream_list_free(&s->streams);
        }
        auth_config_free(s->auth);
        xfree(s->run);
        if (s->rules) {
            pattern_list_free(&s->rules->patterns);
            xfree(s->rules->datadir);
            xfree(s->rules);
        }
        xfree(s);
    }
    index_free(&list->by_name);
    index_free(&list->by_address);
}

void mux_list_free(mux_list *list)
{
    if (list == nullptr)
        return;
    mux *next;
    for (mux *m = list->first; m; m = next) {
        next = m->next;
        xfree(m->name);
        xfree(m->address);
        xfree(m->port);
        xfree(m->from_address);
        stream_list_free(&m->streams);
        source_list_free(&m->sources);
        pattern_list_free(&m->patterns);
        auth_key_free(m->key);
        xfree(m);
    }
    index_free(&list->by_name);
}

static int record_size(const stream *s, int type)
{
    return static_cast<int>(strlen(s->argument)) + 2 + stream_type_byte_width(type);
}

int stream_list_wire_size(const stream_list *list)
{
    int size = 0;
    for (const stream *s = list->first; s; s = s->next)
        size += record_size(s, s->type);
    return size;
}

int stream_list_send_size(const stream_list *list)
{
    int size = 0;
    for (const stream *s = list->first; s; s = s->next)
        size += record_size(s, stream_send_type(s->type));
    return size;
}

static int takes_by_pattern(const source *s)
{
    return s->rules && s->rules->patterns.first;
}

int source_list_max_wire_size(const source_list *list)
{
    int max = 0;
    for (const source *s = list->first; s; s = s->next) {
        // What patterns take is not known ahead: any packet.
        int size = takes_by_pattern(s) ? PACKET_SIZE_MAX - PACKET_HEADER_SIZE - 1
                                       : stream_list_wire_size(&s->streams);
        if (size > max)
            max = size;
    }
    return max;
}

// The room of the widest entry a pattern may take: a type's widest values
// under the longest argument a packet carries.
static int widest_entry_room()
{
    static const char longest[PACKET_MAX_ARGUMENT + 1] =
        "123456789012345678901234567890123456789012345678901234567890123";
    int widest = 0;
    for (int type = 0; type < STREAM_TYPE_COUNT; type++)
        if (stream_type_named(type) && line_entry_room(type, longest) > widest)
            widest = line_entry_room(type, longest);
    return widest;
}

// No packet makes a longer line: a record gives the most text per byte it
// takes with no argument (an argument's bytes add as much to both), and
// no more records than fit.
static int packet_text_room()
{
    int most = 0;
    for (int type = 0; type < STREAM_TYPE_COUNT; type++) {
        if (!stream_type_named(type))
            continue;
        int record = 2 + stream_type_byte_width(type);
        int room = (PACKET_SIZE_MAX / record + 1) * line_entry_room(type, "");
        most = room > most ? room : most;
    }
    return most;
}

int source_list_max_text_size(const source_list *list)
{
    int max = 0;
    for (const source *src = list->first; src; src = src->next) {
        int size = line_host_room(src->name);
        for (const stream *s = src->streams.first; s; s = s->next)
            size += line_entry_room(s->type, s->argument);
        // The patterns take at most max_files streams.
        if (takes_by_pattern(src)) {
            long taken = long{src->rules->max_files} * widest_entry_room();
            size += static_cast<int>(taken < packet_text_room() ? taken : packet_text_room());
        }
        if (size > max)
            max = size;
    }
    return max;
}

int mux_send_size(const mux *m, int extra)
{
    // Header, records, and the spare byte the overflow rule needs.
    int size = stream_list_send_size(&m->streams) + extra + PACKET_HEADER_SIZE + 1 +
               (m->key ? AUTH_SIZE : 0);
    if (size >= PACKET_SIZE_MAX + 1) {
        warning("transport max packet size is not enough to transport all streams");
        size = PACKET_SIZE_MAX;
    }
    debug("probo packet size=%d", size);
    return size;
}

int mux_receive_size(const mux *m)
{
    int base = PACKET_HEADER_SIZE + 1;
    if (m->sources.first) {
        int largest = source_list_max_wire_size(&m->sources);
        base = largest + PACKET_HEADER_SIZE + 1;
        if (largest >= 65500) {
            warning("transport max packet size is not enough to transport all streams");
            base = PACKET_SIZE_MAX;
        }
    }
    // Any packet may carry an authenticator after its records: a source
    // without a key checks the CRC over all of it too.
    int size = 2 * base + AUTH_SIZE < PACKET_SIZE_MAX ? 2 * base + AUTH_SIZE : PACKET_SIZE_MAX;
    debug("colvo packet size=%d", size);
    return size;
}
