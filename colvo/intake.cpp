// Packet intake: one UDP socket per address family of the configured
// sources, bound to the mux's port; a datagram is accepted only from a
// configured source address, with a whole header, a correct CRC-32 and a
// version below 3.
#include <cerrno>
#include <cstring>
#include <netdb.h>
#include <sys/select.h>
#include <unistd.h>

#include "colvo.h"
#include "crc32.h"
#include "error.h"
#include "net.h"

enum { RECEIVE_ATTEMPTS = 5, FIRST_UNSUPPORTED_VERSION = 3 };

static void report_bind_failure(const mux *m, int error)
{
    switch (error) {
    case EACCES:
        warning("mux port %.200s is restricted from current user", m->port);
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

int open_mux_sockets(mux *m)
{
    lookup_mux_address(m, SOCK_DGRAM);
    if (m->sources.first == nullptr)
        return 0;
    int count = 0;
    for (source *src = m->sources.first; src; src = src->next) {
        if (!lookup_source_address(src, AF_INET) && !lookup_source_address(src, AF_INET6)) {
            warning("cannot determine socket family for source %.200s", src->name);
            continue;
        }
        int family = src->socket_address.ss_family;
        if (family < 0 || family >= MUX_SOCKET_SLOTS || m->sockets[family] != 0)
            continue;
        int fd = socket(family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (fd < 0)
            continue;
        int on = 1;
        if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on)) != 0)
            warning("could set socket options: %.200s", strerror(errno));
        if (family == AF_INET6) {
            // The IPv4 socket serves IPv4 sources; this one only IPv6.
            setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof(on));
        }
        sockaddr_storage bind_address;
        if (m->socket_address.ss_family == family)
            copy_sockaddr(reinterpret_cast<const sockaddr *>(&m->socket_address), &bind_address);
        else
            get_sockaddr(&bind_address, family, SOCK_DGRAM, AI_PASSIVE, nullptr, m->port);
        if (bind(fd, reinterpret_cast<const sockaddr *>(&bind_address),
                 sockaddr_length(&bind_address)) != 0) {
            report_bind_failure(m, errno);
            close(fd);
            continue;
        }
        m->sockets[family] = fd;
        if (numeric_names(&bind_address) == 0) {
            info("listening for incoming probo traffic on udp %.200s %.200s", numeric_host,
                 numeric_service);
        } else {
            info("getnameinfo error - cannot determine numeric hostname and service");
            info("listening for incoming probo traffic for family %d", family);
        }
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
    *src = source_list_find_by_address(&m->sources, from);
    if (*src == nullptr) {
        if (debug_mode) {
            numeric_names(from);
            debug("ignored data from %.200s:%.200s", numeric_host, numeric_service);
        }
        return 0;
    }
    // Whoever can send from a source's address can repeat these warnings.
    log_limit_owner = *src;
    int accepted = check_datagram(m, received, from);
    log_limit_owner = nullptr;
    return accepted;
}

static int check_datagram(mux *m, int received, const sockaddr_storage *from)
{
    // Too short for a header: nothing in it can be trusted, and the buffer
    // beyond it holds an older packet.
    if (received < PACKET_HEADER_SIZE) {
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

int receive_packet(mux *m, int slot, source **src, int *received)
{
    *src = nullptr;
    sockaddr_storage from;
    ssize_t n = -1;
    for (int attempt = 0; attempt < RECEIVE_ATTEMPTS; attempt++) {
        memset(&from, 0, sizeof(from));
        socklen_t length = sizeof(from);
        n = recvfrom(m->sockets[slot], m->packet, static_cast<size_t>(m->packet_size), 0,
                     reinterpret_cast<sockaddr *>(&from), &length);
        if (n >= 0 || (errno != EAGAIN && errno != EINTR))
            break;
    }
    if (n < 0) {
        warning("recvfrom failed: %.200s", strerror(errno));
        return 0;
    }
    *received = static_cast<int>(n);
    return accept_datagram(m, *received, &from, src);
}

int wait_for_packet(mux *m, source **src, int *received, const sigset_t *wait_mask)
{
    for (;;) {
        fd_set readable;
        FD_ZERO(&readable);
        int highest = -1;
        for (int fd : m->sockets)
            if (fd != 0) {
                FD_SET(fd, &readable);
                if (fd > highest)
                    highest = fd;
            }
        if (pselect(highest + 1, &readable, nullptr, nullptr, nullptr, wait_mask) < 0) {
            if (errno == EINTR)
                return 0;
            continue;
        }
        for (int slot = 0; slot < MUX_SOCKET_SLOTS; slot++)
            if (m->sockets[slot] != 0 && FD_ISSET(m->sockets[slot], &readable) &&
                receive_packet(m, slot, src, received))
                return 1;
    }
}
