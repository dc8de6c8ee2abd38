// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// Packet intake: one UDP socket per address family of the configured
// sources, bound to the mux's port; a datagram is accepted only from a
// configured source address, with a whole header, a correct CRC-32 and a
// version below 3, and for a source with a key an authenticator that holds.
#include <cerrno>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include "colvo.h"
#include "crc32.h"
#include "error.h"
#include "figures.h"
#include "live.h"
#include "net.h"
#include "xmalloc.h"

enum {
    FIRST_UNSUPPORTED_VERSION = 3,
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

static void size_socket_buffer(int fd, const mux *m)
{
    long want = long{m->sources.by_name.count} * BURST_PACKETS * m->packet_size;
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
    return fd != 0 && getsockname(fd, reinterpret_cast<sockaddr *>(address), &length) == 0;
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

enum { NO_SOCKET = -2 };

// A new socket of the family bound to the address; -1 when it cannot be
// bound (errno tells why), NO_SOCKET when none can be made.
static int new_socket(int family, const sockaddr_storage *address, const mux *running)
{
    int fd = socket(family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return NO_SOCKET;
    if (SHARED_PORT_OPTION != 0 && set_option(fd, SHARED_PORT_OPTION, 1) != 0)
        warning("could set socket options: %.200s", strerror(errno));
    if (family == AF_INET6) {
        // The IPv4 socket serves IPv4 sources; this one only IPv6.
        int on = 1;
        setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof(on));
    }
    int bound = bind_to(fd, address) == 0;
    if (!bound && errno == EADDRINUSE && running)
        bound = bind_beside(fd, running->sockets[family], address) == 0;
    if (!bound) {
        int error = errno;
        close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

static void tell_listening(const sockaddr_storage *address, int family)
{
    if (numeric_names(address) == 0) {
        info("listening for incoming probo traffic on udp %.200s %.200s", numeric_host,
             numeric_service);
    } else {
        info("getnameinfo error - cannot determine numeric hostname and service");
        info("listening for incoming probo traffic for family %d", family);
    }
}

int open_mux_sockets(mux *m, const mux *running, int *failures)
{
    lookup_mux_address(m, SOCK_DGRAM);
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
        if (family < 0 || family >= MUX_SOCKET_SLOTS || m->sockets[family] != 0)
            continue;
        sockaddr_storage bind_address;
        if (m->socket_address.ss_family == family)
            copy_sockaddr(reinterpret_cast<const sockaddr *>(&m->socket_address), &bind_address);
        else
            get_sockaddr(&bind_address, family, SOCK_DGRAM, AI_PASSIVE, nullptr, m->port);
        // Unchanged: the running socket goes on, with what it holds queued.
        sockaddr_storage running_address;
        int fd = 0;
        if (running && bound_address(running->sockets[family], &running_address) &&
            same_endpoint(&running_address, &bind_address))
            fd = running->sockets[family];
        if (fd == 0)
            fd = new_socket(family, &bind_address, running);
        if (fd == NO_SOCKET)
            continue;
        if (fd < 0) {
            report_bind_failure(m, errno);
            if (failures)
                (*failures)++;
            continue;
        }
        m->sockets[family] = fd;
        size_socket_buffer(fd, m);
        tell_listening(&bind_address, family);
        count++;
    }
    source_list_index_addresses(&m->sources);
    return count;
}

// The sender's numeric texts (numeric_names) are made only when a message
// needs them: the conversion costs more than the rest of the checks.
static int check_datagram(mux *m, int received, const sockaddr_storage *from);

int accept_datagram(mux *m, int received, const sockaddr_storage *from, source **src)
{
    figure_add(FIG_RECEIVED);
    *src = source_list_find_by_address(&m->sources, from);
    if (*src == nullptr) {
        figure_add(FIG_UNKNOWN_SENDER);
        if (debug_mode) {
            numeric_names(from);
            debug("ignored data from %.200s:%.200s", numeric_host, numeric_service);
        }
        return 0;
    }
    // With thousands of sources its records are not in the cache: they
    // come while the CRC is computed.
    source_prefetch_streams(*src);
    // Whoever can send from a source's address can repeat these warnings.
    log_limit_owner = *src;
    int accepted = check_datagram(m, received, from);
    if (accepted && (*src)->auth)
        accepted = check_authenticator(m, *src, received, from);
    log_limit_owner = nullptr;
    if (accepted)
        figure_add(FIG_ACCEPTED);
    return accepted;
}

static int check_datagram(mux *m, int received, const sockaddr_storage *from)
{
    // Too short for a header: nothing in it can be trusted, and the buffer
    // beyond it holds an older packet.
    if (received < PACKET_HEADER_SIZE) {
        figure_add(FIG_BAD_CRC);
        numeric_names(from);
        warning("ignored packet with bad crc from %.200s:%.200s", numeric_host, numeric_service);
        return 0;
    }
    m->offset = header_from_wire(m->packet, &m->header);
    uint32_t sent_crc = m->header.crc;
    m->header.crc = 0;
    header_to_wire(m->packet, &m->header);
    if (crc32_compute(m->packet, static_cast<size_t>(received)) != sent_crc) {
        numeric_names(from);
        figure_add(m->packet_size < m->header.length ? FIG_OVERSIZED : FIG_BAD_CRC);
        if (m->packet_size < m->header.length)
            warning("ignored oversized packet from %.200s:%.200s; client and server have "
                    "different stream configurations",
                    numeric_host, numeric_service);
        else
            warning("ignored packet with bad crc from %.200s:%.200s", numeric_host,
                    numeric_service);
        return 0;
    }
    if (m->header.version >= FIRST_UNSUPPORTED_VERSION) {
        figure_add(FIG_VERSION);
        numeric_names(from);
        warning("ignored packet with unsupported version %d from %.200s:%.200s",
                m->header.version, numeric_host, numeric_service);
        return 0;
    }
    if (debug_mode) {
        numeric_names(from);
        debug("good data received from %.200s:%.200s", numeric_host, numeric_service);
    }
    return 1;
}

static uint8_t *receive_batch_slot(const receive_batch *b, int i)
{
    return b->buffers + static_cast<size_t>(i) * static_cast<size_t>(b->slot_size);
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

int wait_for_datagrams(mux *m, receive_batch *b, signal_gate *signals,
                       const timespec *timeout, live_server *live)
{
    b->count = 0;
    b->dropped = 0;
    for (;;) {
        fd_set readable, writable;
        FD_ZERO(&readable);
        FD_ZERO(&writable);
        int highest = live_watch(live, &readable, &writable, -1);
        for (int fd : m->sockets)
            if (fd != 0) {
                FD_SET(fd, &readable);
                if (fd > highest)
                    highest = fd;
            }
        int ready = pselect(highest + 1, &readable, &writable, nullptr, timeout,
                            signals ? &signals->wait_mask : nullptr);
        if (signals)
            signal_gate_pass(signals, ready);
        if (ready == 0)
            return 0;
        if (ready < 0) {
            if (errno == EINTR)
                return 0;
            continue;
        }
        for (int slot = 0; slot < MUX_SOCKET_SLOTS && b->count < RECEIVE_BATCH; slot++)
            if (m->sockets[slot] != 0 && FD_ISSET(m->sockets[slot], &readable))
                drain(slot, m->sockets[slot], b);
        live_serve(live, &readable, &writable);
        // The caller's timeout is its to renew.
        if (b->count > 0 || live)
            return b->count;
    }
}

int take_waiting(mux *m, int slot, receive_batch *b)
{
    b->count = 0;
    b->dropped = 0;
    if (m->sockets[slot] != 0)
        drain(slot, m->sockets[slot], b);
    return b->count;
}

int take_datagram(mux *m, const receive_batch *b, int i)
{
    int length = b->lengths[i] < m->packet_size ? b->lengths[i] : m->packet_size;
    memcpy(m->packet, receive_batch_slot(b, i), static_cast<size_t>(length));
    return length;
}
