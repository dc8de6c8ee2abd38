// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// The records both daemons keep their configuration in: muxes, sources and
// streams, in singly linked lists with insertion at the head, and the size
// budgets derived from them (packet buffers, receive buffer, the FIFO line
// by the room fifoline.h gives each of its parts).
// A list owns its records; a record owns its strings and what it points
// to. A mux holds no sockets, buffers or counters: those are the daemons'
// loops' own.
#pragma once

#include <sys/socket.h>
#include <netinet/in.h>

#include "auth.h"
#include "index.h"
#include "packet.h"
#include "pattern.h"

enum {
    NAME_COMPARE_MAX = 2048,
    MUX_SOCKET_SLOTS = 46, // indexed by address family number
    PACKET_SIZE_MAX = 65515,
};

// A stream's argument lives in the record's own allocation, and its probe
// state is made only when a probe asks for it: the multiplexer keeps
// thousands of streams and needs neither a second allocation nor the state.
// A stream is the monitor's or the multiplexer's, never both, so the two
// share a place and a record with a short argument takes 48 bytes of heap.
union probe_states; // the monitor's probes' (probe_state.h)
struct source_run;  // the multiplexer's running state of a source (auth_check.h)

struct stream {
    int type;
    uint32_t key_hash; // of type and argument: a walk compares it before the texts
    char *argument; // never null: "" when none was configured
    union {
        char *rrd_file;            // multiplexer: database file, or null
        probe_states *probe_state; // monitor: made zero-filled at first use
    };
    stream *next;
};


struct stream_list {
    stream *first;
    record_index index; // by type and argument, kept by the add operations
};

// A source's IPv4 or IPv6 address, in a fifth of a sockaddr_storage: the
// multiplexer keeps thousands of sources and finds one per packet.
union source_address {
    sockaddr sa;
    sockaddr_in in;
    sockaddr_in6 in6;
};

enum { SOURCE_MAX_FILES = 256, SOURCE_STEP = 5 };

// What a source section says beyond its named streams; most have none.
struct source_rules {
    pattern_list patterns; // streams taken as they come
    char *datadir;         // where those streams' databases are; null: none
    int create;            // a missing database is made at the first packet that needs it
    int max_files;         // the most streams the patterns take
    int step;              // of the databases made; 0: not written
};

struct source {
    source_address socket_address;
    // Bytes of the one block that holds the stream records once the
    // section is read (source_pack_streams); 0 while each
    // record has its own allocation.
    uint32_t packed;
    stream_list streams;
    auth_config *auth;   // null: a source without a key
    source_rules *rules; // null: the section has no patterns, create or step
    // What the multiplexer learns from the source's packets, never from its
    // configuration file: made by the multiplexer at the first need and
    // carried over a reload, a plain record freed with the source.
    source_run *run;
    source *next;
    // Numeric host text, in the record's own allocation, without a pointer
    // to it: thousands of sources each save the room run takes.
    char name[];
};

struct source_list {
    source *first;
    record_index by_name;    // kept by source_list_add
    record_index by_address; // built by source_list_index_addresses
};

struct mux {
    char *name;
    char *address;
    char *port;
    char *from_address;
    source_list sources;
    int interval;
    stream_list streams;
    auth_key *key;         // the monitor's packets are signed with it; null: none
    pattern_list patterns; // monitor: streams found on the host
    mux *next;
};

struct mux_list {
    mux *first;
    record_index by_name; // kept by the add and rename operations
};

stream *stream_new(int type, const char *argument);
// The list operations the source and mux ones are made of.
stream *stream_list_find(const stream_list *list, int type, const char *argument);
stream *stream_list_add(stream_list *list, int type, const char *argument);
stream *source_find_stream(const source *src, int type, const char *argument);
stream *source_add_stream(source *src, int type, const char *argument);
stream *mux_find_stream(const mux *m, int type, const char *argument);
stream *mux_add_stream(mux *m, int type, const char *argument);

// The source's rules, made at the first call.
source_rules *source_rules_of(source *src);

// Sets the source's address from an IPv4 or IPv6 one (0 for another family,
// leaving it unset); the address as a sender's is reported.
int source_set_address(source *src, const sockaddr_storage *address);
// The source's address resolved from its name (net.h's getip): 1, or 0
// leaving it unset.
int lookup_source_address(source *src, int family);
// The mux's address and port resolved for binding or sending to; a
// failure is fatal.
void lookup_mux_address(const mux *m, int socktype, sockaddr_storage *out);

// Asks the processor for the source's stream records ahead of their use,
// so that fetching them overlaps other work (the packet's CRC).
void source_prefetch_streams(const source *src);

source *source_list_find(const source_list *list, const char *name);
source *source_list_find_by_address(const source_list *list, const sockaddr_storage *address);
source *source_list_add(source_list *list, const char *name);
// Moves the source's stream records, once its section is read and before
// anything keeps a pointer to them, into one block, in
// the order a walk takes them: a walk touches a few neighbouring cache
// lines, and the records lose the allocator's header and rounding, which
// for thousands of sources of short lists is most of what they cost. No
// stream may be added to a source after.
void source_pack_streams(source *src);
// Indexes the sources by their socket addresses, once these are set; the
// first source of the list wins among equal addresses, as in a walk.
void source_list_index_addresses(source_list *list);

mux *mux_list_find(const mux_list *list, const char *name);
mux *mux_list_add(mux_list *list, const char *name);
mux *mux_list_rename(mux_list *list, mux *m, const char *name);

void stream_list_free(stream_list *list);
void source_list_free(source_list *list);
void mux_list_free(mux_list *list);

int stream_list_wire_size(const stream_list *list);
// Bytes the monitor's records of these streams take, by the type packed.
int stream_list_send_size(const stream_list *list);
int source_list_max_wire_size(const source_list *list);
int source_list_max_text_size(const source_list *list);
// The monitor's packet buffer's size for the mux; extra: the bytes of
// records sent beside the mux's own streams.
int mux_send_size(const mux *m, int extra = 0);
// The receive buffer's size for the mux's sources: twice the largest
// packet of theirs (a larger one is told apart from a bad one), with room
// for an authenticator.
int mux_receive_size(const mux *m);
