// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// colvo's sockets: one UDP socket per address family of the configured
// sources, bound to the mux's port and sized for bursts, and the batch of
// datagrams each wake-up takes from them in one call per socket.
#include "receiver.h"

#include <cerrno>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include "error.h"
#include "events.h"
#include "live.h"
#include "net.h"
#include "privdrop.h"
#include "xmalloc.h"

enum {
    // The socket buffer holds bursts of this many of the largest packets
    // per source, within these bounds.
    BURST_PACKETS = 4,
    SOCKET_BUFFER_MIN = 256 * 1024,
    SOCKET_BUFFER_MAX = 8 * 1024 * 1024,
};

// Where the system says so, each datagram comes with the count of those
// the socket had no room for; and root may size the buffer past the
// system's default cap.
#ifdef SO_RXQ_OVFL
static const int DROP_COUNT_OPTION = SO_RXQ_OVFL, BUFFER_OPTION = SO_RCVBUFFORCE;
#else
static const int DROP_COUNT_OPTION = 0, BUFFER_OPTION = SO_RCVBUF;
#endif

// Linux lets any user bind a port whose sockets all set SO_REUSEADDR, and
// so take colvo's datagrams: there the option stays off and a second bind
// is refused. FreeBSD refuses another user's bind anyway and keeps it.
#ifdef __linux__
static const int SHARED_PORT_OPTION = 0;
#else
static const int SHARED_PORT_OPTION = SO_REUSEADDR;
#endif

static void read_drop_count(const msghdr *h, uint32_t *running, uint32_t *dropped)
{
    if (DROP_COUNT_OPTION == 0)
        return;
    for (cmsghdr *c = CMSG_FIRSTHDR(const_cast<msghdr *>(h)); c;
         c = CMSG_NXTHDR(const_cast<msghdr *>(h), c))
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == DROP_COUNT_OPTION) {
            uint32_t total;
            memcpy(&total, CMSG_DATA(c), sizeof(total));
            // Unsigned: the difference stays right across the count's wrap.
            *dropped += total - *running;
            *running = total;
        }
}

static void size_socket_buffer(int fd, const mux *m, int receive_size)
{
    long want = long{m->sources.by_name.count} * BURST_PACKETS * receive_size;
    long bounded = want < SOCKET_BUFFER_MIN ? long{SOCKET_BUFFER_MIN} : want;
    int size = static_cast<int>(bounded > SOCKET_BUFFER_MAX ? long{SOCKET_BUFFER_MAX} : bounded);
    if (setsockopt(fd, SOL_SOCKET, BUFFER_OPTION, &size, sizeof(size)) != 0)
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof(size));
    int on = 1;
    if (DROP_COUNT_OPTION != 0)
        setsockopt(fd, SOL_SOCKET, DROP_COUNT_OPTION, &on, sizeof(on));
}

static void report_bind_failure(const mux *m, int error)
{
    switch (error) {
    case EACCES:
        warning("mux port %.200s is restricted from current user", m->port);
        if (privileges_dropped)
            warning("binding port %.200s needs root, which colvo gave up at start: restart "
                    "colvo to bind it",
                    m->port);
        break;
    case EADDRINUSE:
        warning("mux address %.200s %.200s already in use", m->address, m->port);
        break;
    case EADDRNOTAVAIL:
        warning("mux address %.200s is not a local address", m->address);
        break;
    default:
        warning("mux port %.200s bind failed", m->port);
    }
}

static int set_option(int fd, int option, int value)
{
    return setsockopt(fd, SOL_SOCKET, option, &value, sizeof(value));
}

static int same_endpoint(const sockaddr_storage *a, const sockaddr_storage *b)
{
    if (a->ss_family != b->ss_family)
        return 0;
    if (a->ss_family == AF_INET) {
        const sockaddr_in *x = reinterpret_cast<const sockaddr_in *>(a);
        const sockaddr_in *y = reinterpret_cast<const sockaddr_in *>(b);
        return x->sin_port == y->sin_port && x->sin_addr.s_addr == y->sin_addr.s_addr;
    }
    if (a->ss_family == AF_INET6) {
        const sockaddr_in6 *x = reinterpret_cast<const sockaddr_in6 *>(a);
        const sockaddr_in6 *y = reinterpret_cast<const sockaddr_in6 *>(b);
        return x->sin6_port == y->sin6_port && x->sin6_scope_id == y->sin6_scope_id &&
               memcmp(&x->sin6_addr, &y->sin6_addr, sizeof(x->sin6_addr)) == 0;
    }
    return 0;
}

static int port_of(const sockaddr_storage *a)
{
    if (a->ss_family == AF_INET)
        return reinterpret_cast<const sockaddr_in *>(a)->sin_port;
    if (a->ss_family == AF_INET6)
        return reinterpret_cast<const sockaddr_in6 *>(a)->sin6_port;
    return -1;
}

static int bound_address(int fd, sockaddr_storage *address)
{
    socklen_t length = sizeof(*address);
    memset(address, 0, sizeof(*address));
    return fd != NO_FD && getsockname(fd, reinterpret_cast<sockaddr *>(address), &length) == 0;
}

static int bind_to(int fd, const sockaddr_storage *address)
{
    return bind(fd, reinterpret_cast<const sockaddr *>(address), sockaddr_length(address));
}

// Binds the port that the running socket of the family holds on another of
// its addresses (the wildcard, or one address of the host): the two share
// it for the hand-over only and stop sharing at once, so no one else joins.
static int bind_beside(int fd, int running_fd, const sockaddr_storage *address)
{
    sockaddr_storage running;
    if (!bound_address(running_fd, &running) || port_of(&running) != port_of(address))
        return -1;
    set_option(running_fd, SO_REUSEADDR, 1);
    set_option(fd, SO_REUSEADDR, 1);
    int result = bind_to(fd, address);
    int error = errno;
    if (SHARED_PORT_OPTION == 0) {
        set_option(running_fd, SO_REUSEADDR, 0);
        set_option(fd, SO_REUSEADDR, 0);
    }
    errno = error;
    return result;
}

enum socket_made { SOCKET_BOUND, SOCKET_NOT_BOUND, SOCKET_NOT_MADE };

// A new socket of the family bound to the address, in *made; when it is
// not bound, errno tells why.
static socket_made new_socket(int family, const sockaddr_storage *address, const socket_set *running,
                              int *made)
{
    int fd = socket(family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return SOCKET_NOT_MADE;
    if (SHARED_PORT_OPTION != 0 && set_option(fd, SHARED_PORT_OPTION, 1) != 0)
        warning("could set socket options: %.200s", strerror(errno));
    if (family == AF_INET6) {
        // The IPv4 socket serves IPv4 sources; this one only IPv6.
        int on = 1;
        setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof(on));
    }
    int bound = bind_to(fd, address) == 0;
    if (!bound && errno == EADDRINUSE && running)
        bound = bind_beside(fd, running->fd[family], address) == 0;
    if (!bound) {
        int error = errno;
        close(fd);
        errno = error;
        return SOCKET_NOT_BOUND;
    }
    *made = fd;
    return SOCKET_BOUND;
}

static void tell_listening(const sockaddr_storage *address, int family)
{
    numeric_name name;
    if (name_address(address, &name) == 0) {
        info("listening for incoming probo traffic on udp %.200s %.200s", name.host, name.service);
    } else {
        info("getnameinfo error - cannot determine numeric hostname and service");
        info("listening for incoming probo traffic for family %d", family);
    }
}

void socket_set_init(socket_set *s)
{
    for (int &fd : s->fd)
        fd = NO_FD;
}

void receiver_init(receiver *r)
{
    memset(r, 0, sizeof(*r));
    socket_set_init(&r->sockets);
}

int open_sockets(socket_set *s, mux *m, int receive_size, const socket_set *running,
                 int *failures)
{
    socket_set_init(s);
    sockaddr_storage mux_address;
    lookup_mux_address(m, SOCK_DGRAM, &mux_address);
    if (failures)
        *failures = 0;
    if (m->sources.first == nullptr)
        return 0;
    int count = 0;
    for (source *src = m->sources.first; src; src = src->next) {
        if (!lookup_source_address(src, AF_INET) && !lookup_source_address(src, AF_INET6)) {
            warning("cannot determine socket family for source %.200s", src->name);
            continue;
        }
        int family = src->socket_address.sa.sa_family;
        if (family < 0 || family >= MUX_SOCKET_SLOTS || s->fd[family] != NO_FD)
            continue;
        sockaddr_storage bind_address;
        if (mux_address.ss_family == family)
            copy_sockaddr(reinterpret_cast<const sockaddr *>(&mux_address), &bind_address);
        else
            get_sockaddr(&bind_address, family, SOCK_DGRAM, AI_PASSIVE, nullptr, m->port);
        // Unchanged: the running socket goes on, with what it holds queued.
        sockaddr_storage running_address;
        int fd = NO_FD;
        if (running && bound_address(running->fd[family], &running_address) &&
            same_endpoint(&running_address, &bind_address))
            fd = running->fd[family];
        socket_made made = SOCKET_BOUND;
        if (fd == NO_FD)
            made = new_socket(family, &bind_address, running, &fd);
        if (made == SOCKET_NOT_MADE)
            continue;
        if (made == SOCKET_NOT_BOUND) {
            report_bind_failure(m, errno);
            if (failures)
                (*failures)++;
            continue;
        }
        s->fd[family] = fd;
        size_socket_buffer(fd, m, receive_size);
        tell_listening(&bind_address, family);
        count++;
    }
    source_list_index_addresses(&m->sources);
    return count;
}

void close_sockets(socket_set *s, const socket_set *keeper)
{
    for (int slot = 0; slot < MUX_SOCKET_SLOTS; slot++) {
        int fd = s->fd[slot];
        if (fd != NO_FD && (keeper == nullptr || fd != keeper->fd[slot]))
            close(fd);
        s->fd[slot] = NO_FD;
    }
}

uint8_t *receive_batch_slot(const receive_batch *b, int i)
{
    return b->buffers + static_cast<size_t>(i) * static_cast<size_t>(b->slot_size);
}

datagram batch_datagram(const receive_batch *b, int i)
{
    return {receive_batch_slot(b, i), b->lengths[i] < b->slot_size ? b->lengths[i] : b->slot_size,
            b->slot_size, &b->from[i], {}, 0};
}

void receive_batch_size(receive_batch *b, int slot_size)
{
    if (b->buffers && b->slot_size == slot_size)
        return;
    xfree(b->buffers);
    b->buffers = static_cast<uint8_t *>(xmalloc(static_cast<size_t>(slot_size) * RECEIVE_BATCH));
    b->slot_size = slot_size;
    memset(b->headers, 0, sizeof(b->headers));
    memset(b->from, 0, sizeof(b->from));
    for (int slot = 0; slot < RECEIVE_BATCH; slot++) {
        b->vectors[slot].iov_base = receive_batch_slot(b, slot);
        b->vectors[slot].iov_len = static_cast<size_t>(slot_size);
        msghdr *h = &b->headers[slot].msg_hdr;
        h->msg_name = &b->from[slot];
        h->msg_iov = &b->vectors[slot];
        h->msg_iovlen = 1;
        h->msg_control = b->controls[slot];
    }
}

// What is waiting on one socket, without blocking, in one call. The
// lengths the kernel shortens are set back; a sender's address is cleared
// past what the kernel wrote, as if the slot were new.
static void drain(int slot_family, int fd, receive_batch *b)
{
    int room = RECEIVE_BATCH - b->count;
    for (int slot = b->count; slot < RECEIVE_BATCH; slot++) {
        msghdr *h = &b->headers[slot].msg_hdr;
        h->msg_namelen = sizeof(b->from[slot]);
        h->msg_controllen = sizeof(b->controls[slot]);
        h->msg_flags = 0;
    }
    int n = static_cast<int>(recvmmsg(fd, &b->headers[b->count], static_cast<unsigned>(room),
                                      MSG_DONTWAIT, nullptr));
    if (n < 0) {
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            warning("recvfrom failed: %.200s", strerror(errno));
        return;
    }
    for (int i = 0; i < n; i++) {
        int slot = b->count + i;
        const msghdr *h = &b->headers[slot].msg_hdr;
        size_t named = h->msg_namelen < sizeof(b->from[slot]) ? h->msg_namelen : sizeof(b->from[slot]);
        memset(reinterpret_cast<char *>(&b->from[slot]) + named, 0, sizeof(b->from[slot]) - named);
        b->lengths[slot] = static_cast<int>(b->headers[slot].msg_len);
        read_drop_count(h, &b->socket_drops[slot_family], &b->dropped);
    }
    b->count += n;
}

int wait_for_datagrams(receiver *r, signal_gate *signals, const timespec *timeout,
                       live_server *live)
{
    receive_batch *b = &r->batch;
    b->count = 0;
    b->dropped = 0;
    for (;;) {
        static event_set e;
        events_clear(&e);
        live_watch(live, &e);
        int places[MUX_SOCKET_SLOTS];
        for (int slot = 0; slot < MUX_SOCKET_SLOTS; slot++)
            places[slot] = r->sockets.fd[slot] != NO_FD ? events_watch(&e, r->sockets.fd[slot], 1, 0) : -1;
        int ready = events_wait(&e, signals, timeout);
        if (ready == 0)
            return 0;
        if (ready < 0)
            continue;
        for (int slot = 0; slot < MUX_SOCKET_SLOTS && b->count < RECEIVE_BATCH; slot++)
            if (events_readable(&e, places[slot]))
                drain(slot, r->sockets.fd[slot], b);
        live_serve(live, &e);
        // The caller's timeout is its to renew.
        if (b->count > 0 || live)
            return b->count;
    }
}

int take_waiting(receiver *r, int slot)
{
    receive_batch *b = &r->batch;
    b->count = 0;
    b->dropped = 0;
    if (r->sockets.fd[slot] != NO_FD)
        drain(slot, r->sockets.fd[slot], b);
    return b->count;
}
