// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
/* /sbin/init of the FreeBSD run: starts colvo and probo as the rc scripts
   do (detached, logging to syslog, which this init stands in for), checks
   each of probo's figures, as colvo writes them to its FIFO, against what
   it reads from the kernel itself at that moment, reloads colvo, forges
   two datagrams, ends both daemons and powers off. Every finding is a
   console line "init: ..."; every datagram on lo0 to colvo's port is one
   "init: datagram N HEX", so that colvo on Linux can be fed the same ones
   and its lines compared with "init: fifo" and "init: sock" here. */
#include <sys/types.h>
#include <sys/devicestat.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/reboot.h>
#include <sys/sf_buf.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/sysctl.h>
#include <sys/time.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <sys/user.h>
#include <sys/vmmeter.h>
#include <sys/wait.h>
#include <net/bpf.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netinet/in_var.h>
#include <netinet/ip.h>
#include <netinet/udp.h>
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <kenv.h>
#include <poll.h>
#include <signal.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#define PORT 2100
#define FIFO "/var/run/colvo.fifo"
#define SOCKET "/var/run/colvo.sock"
#define CONFIG "/tmp/colvo.conf"
#define FILLER "/filler"
#define CHUNK (256 * 1024)
#define WAIT_SECONDS 60 /* for any one thing; the machine is emulated */

/* The run: lines before the forged datagrams, before the reload, in all. */
enum { FORGE_AT = 3, RELOAD_AT = 6, LINES = 10 };

/* Drift allowed between probo's sample and the kernel read a moment later. */
#define PACKETS_DRIFT 4         /* datagrams on lo0 in one interval, forged ones included */
#define BYTES_DRIFT (4 * 2048)  /* their bytes */
#define MEM_DRIFT (1 << 20)     /* pages that came and went */
#define DISK_DRIFT (1 << 20)    /* read-ahead after probo's sample */
#define RSS_DRIFT (64 * 1024)
#define CPU_DRIFT 15.0          /* percentage points: the intervals are not the same */
#define MBUF_DRIFT 64           /* buffers taken or given back by lo0's traffic */
#define PCT_DRIFT 2.0           /* the kernel's decaying average moves once a second */

static void say(const char *format, ...) __attribute__((format(printf, 1, 2)));

/* One write per line, so kernel messages cannot land inside one. */
static void say(const char *format, ...)
{
    static char line[16384];
    va_list ap;
    va_start(ap, format);
    int n = vsnprintf(line, sizeof line - 1, format, ap);
    va_end(ap);
    if (n < 0)
        return;
    if (n > (int)sizeof line - 2)
        n = sizeof line - 2;
    line[n++] = '\n';
    write(1, line, n);
}

/* Each kind of check: how often it held, and the figures last compared
   (or those of its first failure). */
struct tally {
    const char *name;
    int ok, bad;
    char detail[200];
};
static struct tally tallies[40];
static int failures;

static void check(const char *name, int ok, const char *format, ...) __attribute__((format(printf, 3, 4)));

static void check(const char *name, int ok, const char *format, ...)
{
    struct tally *t = tallies;
    while (t->name != NULL && strcmp(t->name, name) != 0)
        t++;
    if (t == &tallies[sizeof tallies / sizeof tallies[0] - 1]) {
        say("init: FAIL too many kinds of check (%s)", name);
        failures++;
        return;
    }
    t->name = name;
    char detail[sizeof t->detail];
    va_list ap;
    va_start(ap, format);
    vsnprintf(detail, sizeof detail, format, ap);
    va_end(ap);
    if (ok) {
        t->ok++;
        if (t->bad == 0)
            strcpy(t->detail, detail);
    } else {
        if (t->bad++ == 0)
            strcpy(t->detail, detail);
        failures++;
        say("init: FAIL %s: %s", name, detail);
    }
}

static int64_t sysctl_number(const char *name)
{
    union {
        int32_t i;
        int64_t l;
    } value = {0};
    size_t length = sizeof value;
    if (sysctlbyname(name, &value, &length, NULL, 0) != 0) {
        check("sysctl", 0, "%s: %s", name, strerror(errno));
        return 0;
    }
    return length == sizeof(int32_t) ? value.i : value.l;
}

/* ---- the machine ---- */

static void mount_tmpfs(const char *path)
{
    struct iovec iov[4] = {
        {(void *)"fstype", 7}, {(void *)"tmpfs", 6}, {(void *)"fspath", 7}, {(void *)path, strlen(path) + 1}};
    if (nmount(iov, 4, 0) != 0)
        say("init: FAIL nmount tmpfs on %s: %s", path, strerror(errno));
}

static void loopback_up(void)
{
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    struct in_aliasreq ifra;
    memset(&ifra, 0, sizeof ifra);
    strlcpy(ifra.ifra_name, "lo0", sizeof ifra.ifra_name);
    ifra.ifra_addr.sin_family = AF_INET;
    ifra.ifra_addr.sin_len = sizeof ifra.ifra_addr;
    ifra.ifra_addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ifra.ifra_mask.sin_family = AF_INET;
    ifra.ifra_mask.sin_len = sizeof ifra.ifra_mask;
    ifra.ifra_mask.sin_addr.s_addr = htonl(IN_CLASSA_NET);
    if (ioctl(s, SIOCAIFADDR, &ifra) != 0)
        say("init: FAIL SIOCAIFADDR lo0: %s", strerror(errno));
    struct ifreq ifr;
    memset(&ifr, 0, sizeof ifr);
    strlcpy(ifr.ifr_name, "lo0", sizeof ifr.ifr_name);
    ioctl(s, SIOCGIFFLAGS, &ifr);
    ifr.ifr_flags |= IFF_UP;
    if (ioctl(s, SIOCSIFFLAGS, &ifr) != 0)
        say("init: FAIL SIOCSIFFLAGS lo0: %s", strerror(errno));
    close(s);
}

/* The host's time, handed over as kernel environment: there is no RTC. */
static void set_clock(void)
{
    char text[32];
    if (kenv(KENV_GET, "test.time", text, sizeof text) <= 0) {
        say("init: FAIL no test.time in the kernel environment");
        failures++;
        return;
    }
    struct timespec now = {strtoll(text, NULL, 10), 0};
    if (clock_settime(CLOCK_REALTIME, &now) != 0)
        say("init: FAIL clock_settime: %s", strerror(errno));
    say("init: clock set to %s", text);
}

static int bind_unix(int type, const char *path)
{
    int s = socket(AF_UNIX, type, 0);
    struct sockaddr_un a;
    memset(&a, 0, sizeof a);
    a.sun_family = AF_UNIX;
    strlcpy(a.sun_path, path, sizeof a.sun_path);
    if (bind(s, (struct sockaddr *)&a, sizeof a) != 0)
        say("init: FAIL bind %s: %s", path, strerror(errno));
    return s;
}

static int connect_unix(const char *path)
{
    int s = socket(AF_UNIX, SOCK_STREAM, 0);
    struct sockaddr_un a;
    memset(&a, 0, sizeof a);
    a.sun_family = AF_UNIX;
    strlcpy(a.sun_path, path, sizeof a.sun_path);
    if (connect(s, (struct sockaddr *)&a, sizeof a) != 0) {
        check("colvo.socket", 0, "connect %s: %s", path, strerror(errno));
        close(s);
        return -1;
    }
    return s;
}

/* Every packet on lo0, whole; a read takes the whole buffer, and finds it
   empty rather than wait. */
#define BPF_BUFFER 65536
static int open_bpf(void)
{
    int b = open("/dev/bpf", O_RDONLY | O_NONBLOCK);
    struct ifreq ifr;
    memset(&ifr, 0, sizeof ifr);
    strlcpy(ifr.ifr_name, "lo0", sizeof ifr.ifr_name);
    u_int on = 1, size = BPF_BUFFER;
    if (b < 0 || ioctl(b, BIOCSBLEN, &size) != 0 || ioctl(b, BIOCSETIF, &ifr) != 0 ||
        ioctl(b, BIOCIMMEDIATE, &on) != 0 || size != BPF_BUFFER)
        say("init: FAIL bpf on lo0: %s", strerror(errno));
    return b;
}

/* What a daemon says before it detaches (to standard error, then
   /dev/null) comes to init on a pipe, one per daemon. */
static int said[2] = {-1, -1};

/* A detached daemon's launcher ends once the daemon is ready, with 0. */
static void launch(int who, char *const argv[])
{
    int out[2];
    pipe(out);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], 1);
        dup2(out[1], 2);
        close(out[0]);
        close(out[1]);
        execv(argv[0], argv);
        _exit(127);
    }
    close(out[1]);
    said[who] = out[0];
    int status = -1;
    waitpid(pid, &status, 0);
    check("start", WIFEXITED(status) && WEXITSTATUS(status) == 0, "%s: launcher status 0x%x", argv[0], status);
}

static pid_t pid_file(const char *path)
{
    char text[32] = "";
    int fd = open(path, O_RDONLY);
    if (fd >= 0) {
        read(fd, text, sizeof text - 1);
        close(fd);
    }
    return (pid_t)atoi(text);
}

/* ---- what comes in ---- */

static int bpf = -1, syslog_fds[2] = {-1, -1}, fifo = -1, live = -1, forger = -1;
static pid_t colvo_pid, probo_pid;

/* Datagrams to colvo's port: all of them, and probo's alone. */
static int datagrams, probo_datagrams;
static unsigned char last_datagram[2048];
static ssize_t last_length;

/* Lines: from the FIFO, and host lines from the socket, kept to compare. */
#define LINE_MAX_KEPT 64
static char *fifo_lines[LINE_MAX_KEPT], *sock_lines[LINE_MAX_KEPT];
static int fifo_count, sock_count;
static char fifo_pending[65536], sock_pending[65536];
static size_t fifo_have, sock_have;

/* Syslog: what colvo and probo logged that a step waits for. */
static int reloaded, colvo_quit, probo_quit;

enum { COLVO, PROBO };
static const char *const NAMES[] = {"colvo", "probo"};

/* What probo's manual promises on this kernel, once each, and nothing
   else: no temperature sensors, no ZFS, no pf; and a 1 s interval. */
static const char *const PROMISED[] = {
    "monitoring set to every 1 s",
    "sensor(cpu0): no sysctl dev.cpu.0.temperature; sending nothing until it appears",
    "sensor(tz0): no sysctl hw.acpi.thermal.tz0.temperature; sending nothing until it appears",
    "zfs not available on this host: no sysctl kstat.zfs.misc.arcstats.",
    "pf not available on this host: could not open \"/dev/pf\", No such file or directory; sending nothing",
};
enum { PROMISED_COUNT = sizeof PROMISED / sizeof PROMISED[0] };
static int promised_seen[PROMISED_COUNT], unpromised;

static void probo_warned(const char *text)
{
    for (int i = 0; i < PROMISED_COUNT; i++)
        if (strstr(text, PROMISED[i]) != NULL) {
            promised_seen[i]++;
            return;
        }
    unpromised++;
    say("init: FAIL probo warned: %s", text);
}

static void on_line(char *line);

static void take_datagram(const unsigned char *udp_payload, size_t length, uint16_t from_port)
{
    static char hex[4200];
    size_t n = length < 2048 ? length : 2048;
    for (size_t i = 0; i < n; i++)
        snprintf(hex + 2 * i, 3, "%02x", udp_payload[i]);
    hex[2 * n] = '\0';
    datagrams++;
    say("init: datagram %d %s", datagrams, hex);
    struct sockaddr_in a;
    socklen_t al = sizeof a;
    if (forger >= 0 && getsockname(forger, (struct sockaddr *)&a, &al) == 0 && a.sin_port == from_port)
        return;
    probo_datagrams++;
    memcpy(last_datagram, udp_payload, n);
    last_length = (ssize_t)n;
}

/* lo0 frames: a 4-byte family, IPv4, UDP to colvo's port. */
static void read_bpf(void)
{
    static unsigned char buffer[BPF_BUFFER];
    ssize_t got = read(bpf, buffer, sizeof buffer);
    for (ssize_t at = 0; at + (ssize_t)sizeof(struct bpf_hdr) <= got;) {
        const struct bpf_hdr *h = (const struct bpf_hdr *)(buffer + at);
        const unsigned char *frame = buffer + at + h->bh_hdrlen;
        uint32_t family;
        memcpy(&family, frame, 4);
        const struct ip *ip = (const struct ip *)(frame + 4);
        if (h->bh_caplen == h->bh_datalen && family == AF_INET && ip->ip_p == IPPROTO_UDP) {
            const struct udphdr *u = (const struct udphdr *)((const unsigned char *)ip + ip->ip_hl * 4);
            if (ntohs(u->uh_dport) == PORT)
                take_datagram((const unsigned char *)(u + 1), ntohs(u->uh_ulen) - sizeof *u, u->uh_sport);
        }
        at += BPF_WORDALIGN(h->bh_hdrlen + h->bh_caplen);
    }
}

/* "<PRI>1 TIME HOST APP PID MSGID SD MESSAGE", as the C library sends it. */
static void read_syslog(int fd)
{
    char message[2048];
    ssize_t n = recv(fd, message, sizeof message - 1, 0);
    if (n <= 0)
        return;
    message[n] = '\0';
    while (n > 0 && message[n - 1] == '\n')
        message[--n] = '\0';
    int priority = message[0] == '<' ? atoi(message + 1) : LOG_INFO;
    char *field[8], *rest = message;
    int count = 0;
    while (count < 7 && (field[count] = strsep(&rest, " ")) != NULL)
        count++;
    if (count < 7 || rest == NULL) {
        say("init: log %s", message);
        return;
    }
    const char *app = field[3];
    say("init: log %s: %s", app, rest);
    /* Detached, each daemon's pid is known from what it logs. */
    if (strcmp(app, "colvo") == 0)
        colvo_pid = atoi(field[4]);
    if (strcmp(app, "probo") == 0)
        probo_pid = atoi(field[4]);
    if (strcmp(app, "colvo") == 0 && strstr(rest, "read configuration file '" CONFIG "' successfully"))
        reloaded = 1;
    if (strcmp(app, "colvo") == 0 && strstr(rest, "received signal 15 - quitting"))
        colvo_quit = 1;
    if (strcmp(app, "probo") == 0 && strstr(rest, "received signal 15 - quitting"))
        probo_quit = 1;
    if (strcmp(app, "probo") == 0 && LOG_PRI(priority) <= LOG_WARNING)
        probo_warned(rest);
}

static char *keep(const char *line)
{
    size_t n = strlen(line) + 1;
    char *copy = malloc(n);
    memcpy(copy, line, n);
    return copy;
}

/* Whole lines from a stream; returns 0 at its end. */
static int read_lines(int fd, char *pending, size_t *have, size_t room, void (*each)(char *))
{
    ssize_t n = read(fd, pending + *have, room - *have - 1);
    if (n <= 0)
        return n < 0 && errno == EAGAIN;
    *have += (size_t)n;
    pending[*have] = '\0';
    char *start = pending, *end;
    while ((end = strchr(start, '\n')) != NULL) {
        *end = '\0';
        each(start);
        start = end + 1;
    }
    *have -= (size_t)(start - pending);
    memmove(pending, start, *have);
    return 1;
}

static char said_pending[2][4096];
static size_t said_have[2];
static int said_who;

static void on_said_line(char *line)
{
    say("init: %s said %s", NAMES[said_who], line);
    if (said_who == PROBO && strncmp(line, "warning: ", 9) == 0)
        probo_warned(line + 9);
}

static void on_fifo_line(char *line)
{
    say("init: fifo %s", line);
    if (fifo_count < LINE_MAX_KEPT)
        fifo_lines[fifo_count] = keep(line);
    fifo_count++;
    on_line(line);
}

static char figures[1024];

static void on_sock_line(char *line)
{
    say("init: sock %s", line);
    if (line[0] == '#') {
        strlcpy(figures, line, sizeof figures);
        return;
    }
    if (sock_count < LINE_MAX_KEPT)
        sock_lines[sock_count] = keep(line);
    sock_count++;
}

/* Handles whatever comes in until done() holds; 0 when the time ran out. */
static int pump(int (*done)(void), const char *what)
{
    time_t end = time(NULL) + WAIT_SECONDS;
    while (!done()) {
        if (time(NULL) >= end) {
            check("wait", 0, "no %s in %d s", what, WAIT_SECONDS);
            return 0;
        }
        struct pollfd p[7] = {{bpf, POLLIN, 0},  {syslog_fds[0], POLLIN, 0}, {syslog_fds[1], POLLIN, 0},
                              {fifo, POLLIN, 0}, {live, POLLIN, 0},          {said[COLVO], POLLIN, 0},
                              {said[PROBO], POLLIN, 0}};
        if (poll(p, 7, 1000) <= 0)
            continue;
        for (said_who = COLVO; said_who <= PROBO; said_who++)
            if ((p[5 + said_who].revents & (POLLIN | POLLHUP)) &&
                !read_lines(said[said_who], said_pending[said_who], &said_have[said_who], sizeof said_pending[0],
                            on_said_line)) {
                close(said[said_who]);
                said[said_who] = -1;
            }
        if (p[0].revents & POLLIN)
            read_bpf();
        for (int i = 0; i < 2; i++)
            if (p[1 + i].revents & POLLIN)
                read_syslog(syslog_fds[i]);
        if (p[3].revents & (POLLIN | POLLHUP))
            read_lines(fifo, fifo_pending, &fifo_have, sizeof fifo_pending, on_fifo_line);
        if ((p[4].revents & (POLLIN | POLLHUP)) &&
            !read_lines(live, sock_pending, &sock_have, sizeof sock_pending, on_sock_line)) {
            close(live);
            live = -1;
        }
    }
    return 1;
}

static int have_figures(void) { return figures[0] != '\0'; }
static int have_probo(void) { return probo_pid > 0; }
static int probo_stopped(void)
{
    int status;
    return waitpid(probo_pid, &status, WUNTRACED | WNOHANG) == probo_pid && WIFSTOPPED(status);
}
static int have_reloaded(void) { return reloaded; }
static int lines_caught_up(void) { return fifo_count >= probo_datagrams && sock_count >= probo_datagrams; }
static int line_target;
static int got_line(void) { return fifo_count >= line_target; }
static int colvo_said_quit(void) { return colvo_quit; }
static int probo_said_quit(void) { return probo_quit; }
static int socket_closed(void) { return live < 0; }

/* ---- probo's figures against the kernel's ---- */

struct entry {
    char type[16], arg[64];
    int count;
    char *value[24];
};

/* "127.0.0.1;cpu:0:T:v:...;mem::T:...;" into entries; values stay text. */
static int parse(char *line, struct entry *entries, int room)
{
    int n = 0;
    char *rest = strchr(line, ';');
    if (rest == NULL)
        return 0;
    rest++;
    for (char *e; n < room && (e = strsep(&rest, ";")) != NULL && *e != '\0'; n++) {
        struct entry *x = &entries[n];
        strlcpy(x->type, strsep(&e, ":"), sizeof x->type);
        strlcpy(x->arg, e ? strsep(&e, ":") : "", sizeof x->arg);
        if (e)
            strsep(&e, ":"); /* the time */
        x->count = 0;
        while (e && x->count < 24)
            x->value[x->count++] = strsep(&e, ":");
    }
    return n;
}

static unsigned long long u(const struct entry *e, int i) { return i < e->count ? strtoull(e->value[i], NULL, 10) : 0; }
static double d(const struct entry *e, int i) { return i < e->count ? strtod(e->value[i], NULL) : -1; }
static int within(long long a, long long b, long long drift) { return a - b <= drift && b - a <= drift; }

static long page_size;
static long cp_before[CPUSTATES];
static int have_cp_before;
static double load_before[3] = {-1, -1, -1};

static void check_cpu(const struct entry *e)
{
    double sum = 0;
    for (int i = 0; i < 5; i++)
        sum += d(e, i);
    check("cpu(0) shares", e->count == 5 && sum > 99.75 && sum < 100.25, "probo %.2f+%.2f+%.2f+%.2f+%.2f = %.2f, kernel 100",
          d(e, 0), d(e, 1), d(e, 2), d(e, 3), d(e, 4), sum);
    long cp[CPUSTATES];
    size_t length = sizeof cp;
    sysctlbyname("kern.cp_time", cp, &length, NULL, 0);
    if (have_cp_before) {
        long total = 0;
        for (int i = 0; i < CPUSTATES; i++)
            total += cp[i] - cp_before[i];
        double idle = total > 0 ? 100.0 * (cp[CP_IDLE] - cp_before[CP_IDLE]) / total : 0;
        check("cpu(0) idle", idle - d(e, 4) <= CPU_DRIFT && d(e, 4) - idle <= CPU_DRIFT,
              "probo %.2f, kernel %.2f (kern.cp_time over the last line's interval)", d(e, 4), idle);
    }
    memcpy(cp_before, cp, sizeof cp);
    have_cp_before = 1;
}

static void check_mem(const struct entry *e)
{
    long long physmem = sysctl_number("hw.physmem");
    long long free_pages = sysctl_number("vm.stats.vm.v_free_count");
    struct vmtotal total;
    size_t length = sizeof total;
    int vm_total[2] = {CTL_VM, VM_TOTAL};
    sysctl(vm_total, 2, &total, &length, NULL, 0);
    long long active = (long long)u(e, 0), used = (long long)u(e, 1), free = (long long)u(e, 2);
    check("mem used+free", used + free == physmem, "probo %lld+%lld, kernel hw.physmem %lld", used, free, physmem);
    check("mem free", within(free, free_pages * page_size, MEM_DRIFT), "probo %lld, kernel %lld (vm.stats.vm.v_free_count %lld)",
          free, free_pages * page_size, free_pages);
    check("mem active", within(active, (long long)total.t_arm * page_size, MEM_DRIFT),
          "probo %lld, kernel %lld (vm.vmtotal t_arm; v_active_count %lld)", active,
          (long long)total.t_arm * page_size, (long long)sysctl_number("vm.stats.vm.v_active_count"));
    long long devices = sysctl_number("vm.nswapdev");
    check("mem swap", u(e, 3) == 0 && u(e, 4) == 0 && devices == 0, "probo %llu/%llu, kernel %lld swap devices", u(e, 3),
          u(e, 4), devices);
}

/* Sent with two decimals, cut: the kernel's figure now or a tick ago. */
static void check_load(const struct entry *e)
{
    struct loadavg la;
    size_t length = sizeof la;
    sysctlbyname("vm.loadavg", &la, &length, NULL, 0);
    int ok = e->count == 3;
    double now[3];
    for (int i = 0; i < 3; i++) {
        now[i] = (double)la.ldavg[i] / la.fscale;
        double sent = d(e, i);
        ok = ok && ((now[i] - sent > -1e-6 && now[i] - sent < 0.01 + 1e-6) ||
                    (load_before[i] - sent > -1e-6 && load_before[i] - sent < 0.01 + 1e-6));
    }
    check("load", ok, "probo %.2f %.2f %.2f, kernel %.4f %.4f %.4f (vm.loadavg)", d(e, 0), d(e, 1), d(e, 2), now[0], now[1],
          now[2]);
    memcpy(load_before, now, sizeof now);
}

static void check_if(const struct entry *e)
{
    struct ifaddrs *all, *a;
    const struct if_data *k = NULL;
    getifaddrs(&all);
    for (a = all; a != NULL; a = a->ifa_next)
        if (a->ifa_addr != NULL && a->ifa_addr->sa_family == AF_LINK && strcmp(a->ifa_name, e->arg) == 0)
            k = a->ifa_data;
    if (k == NULL) {
        check("if(lo0)", 0, "no %s from getifaddrs", e->arg);
        freeifaddrs(all);
        return;
    }
    long long ip = (long long)(k->ifi_ipackets - u(e, 0)), op = (long long)(k->ifi_opackets - u(e, 1));
    long long ib = (long long)(k->ifi_ibytes - u(e, 2)), ob = (long long)(k->ifi_obytes - u(e, 3));
    check("if(lo0) packets", ip >= 0 && ip <= PACKETS_DRIFT && op >= 0 && op <= PACKETS_DRIFT,
          "probo %llu in %llu out, kernel %llu in %llu out (getifaddrs)", u(e, 0), u(e, 1),
          (unsigned long long)k->ifi_ipackets, (unsigned long long)k->ifi_opackets);
    check("if(lo0) bytes", ib >= 0 && ib <= BYTES_DRIFT && ob >= 0 && ob <= BYTES_DRIFT,
          "probo %llu in %llu out, kernel %llu in %llu out", u(e, 2), u(e, 3), (unsigned long long)k->ifi_ibytes,
          (unsigned long long)k->ifi_obytes);
    check("if(lo0) others",
          u(e, 4) == k->ifi_imcasts && u(e, 5) == k->ifi_omcasts && u(e, 6) == k->ifi_ierrors &&
              u(e, 7) == k->ifi_oerrors && u(e, 8) == k->ifi_collisions && u(e, 9) == k->ifi_iqdrops,
          "probo %llu %llu %llu %llu %llu %llu, kernel %llu %llu %llu %llu %llu %llu", u(e, 4), u(e, 5), u(e, 6), u(e, 7),
          u(e, 8), u(e, 9), (unsigned long long)k->ifi_imcasts, (unsigned long long)k->ifi_omcasts,
          (unsigned long long)k->ifi_ierrors, (unsigned long long)k->ifi_oerrors,
          (unsigned long long)k->ifi_collisions, (unsigned long long)k->ifi_iqdrops);
    freeifaddrs(all);
}

static unsigned long long first_rbytes, last_rbytes, filler_read;
static int io_lines;

/* The device statistics as the kernel hands them out: a generation, then
   one record per device. */
static void check_io(const struct entry *e)
{
    static char buffer[64 * sizeof(struct devstat) + sizeof(long)];
    size_t length = sizeof buffer;
    const struct devstat *k = NULL;
    if (sysctlbyname("kern.devstat.all", buffer, &length, NULL, 0) == 0)
        for (size_t at = sizeof(long); at + sizeof *k <= length; at += sizeof *k) {
            const struct devstat *x = (const struct devstat *)(buffer + at);
            if (strcmp(x->device_name, "vtbd") == 0 && x->unit_number == 0)
                k = x;
        }
    if (k == NULL) {
        check("io(vtbd0)", 0, "no vtbd0 in kern.devstat.all");
        return;
    }
    long long reads = (long long)(k->operations[DEVSTAT_READ] - u(e, 0));
    long long bytes = (long long)(k->bytes[DEVSTAT_READ] - u(e, 3));
    check("io(vtbd0) reads", reads >= 0 && reads <= 64 && bytes >= 0 && bytes <= DISK_DRIFT,
          "probo %llu reads %llu bytes, kernel %llu reads %llu bytes (kern.devstat.all)", u(e, 0), u(e, 3),
          (unsigned long long)k->operations[DEVSTAT_READ], (unsigned long long)k->bytes[DEVSTAT_READ]);
    check("io(vtbd0) writes", u(e, 1) == k->operations[DEVSTAT_WRITE] && u(e, 4) == k->bytes[DEVSTAT_WRITE] && u(e, 2) == 0,
          "probo %llu writes %llu bytes, kernel %llu writes %llu bytes", u(e, 1), u(e, 4),
          (unsigned long long)k->operations[DEVSTAT_WRITE], (unsigned long long)k->bytes[DEVSTAT_WRITE]);
    if (io_lines++ == 0)
        first_rbytes = u(e, 3);
    last_rbytes = u(e, 3);
}

/* Each file system's figures as statfs gives them, in 512-byte units: the
   root's are fixed (read-only); /tmp's size and free space follow the
   machine's free memory (tmpfs), so they may move by MEM_DRIFT. */
static void check_df(const struct entry *e)
{
    int tmp = strcmp(e->arg, "/tmp") == 0;
    const char *path = e->arg[0] == '/' ? e->arg : "/";
    struct statfs f;
    statfs(path, &f);
    uint64_t scale = f.f_bsize / 512;
    long long drift = tmp ? MEM_DRIFT / 512 : 0;
    check(tmp ? "df(/tmp)" : strcmp(e->arg, "/") == 0 ? "df(/)" : "df(vtbd0)",
          within((long long)u(e, 0), (long long)(f.f_blocks * scale), drift) &&
              within((long long)u(e, 1), (long long)(f.f_bfree * scale), drift) &&
              within((long long)u(e, 2), f.f_bavail * (long long)scale, drift) && u(e, 3) == f.f_files &&
              u(e, 4) == (uint64_t)f.f_ffree && u(e, 5) == f.f_syncwrites && u(e, 6) == f.f_asyncwrites,
          "probo %llu %llu %llu %llu %llu %llu %llu, kernel %llu %llu %llu %llu %lld %llu %llu (statfs %s: %s)", u(e, 0),
          u(e, 1), u(e, 2), u(e, 3), u(e, 4), u(e, 5), u(e, 6), (unsigned long long)(f.f_blocks * scale),
          (unsigned long long)(f.f_bfree * scale), (unsigned long long)(f.f_bavail * scale),
          (unsigned long long)f.f_files, (long long)f.f_ffree, (unsigned long long)f.f_syncwrites,
          (unsigned long long)f.f_asyncwrites, f.f_mntonname, f.f_mntfromname);
}

static void check_proc(const struct entry *e)
{
    struct kinfo_proc all[256];
    size_t length = sizeof all;
    int mib[3] = {CTL_KERN, KERN_PROC, KERN_PROC_PROC};
    sysctl(mib, 3, all, &length, NULL, 0);
    int count = 0;
    const struct kinfo_proc *k = NULL;
    for (size_t i = 0; i < length / sizeof all[0]; i++) {
        if (strncmp(all[i].ki_comm, e->arg, strlen(e->arg)) == 0)
            count++;
        if (all[i].ki_pid == probo_pid)
            k = &all[i];
    }
    check("proc(probo) count", u(e, 0) == (unsigned long long)count && count == 1, "probo %llu, kernel %d (kern.proc.proc)",
          u(e, 0), count);
    if (k == NULL) {
        check("proc(probo)", 0, "pid %d not in kern.proc.proc", (int)probo_pid);
        return;
    }
    long long rss = (long long)k->ki_rssize * page_size;
    long long size = ((long long)k->ki_tsize + k->ki_dsize + k->ki_ssize) * page_size;
    check("proc(probo) resident", within((long long)u(e, 7), rss, RSS_DRIFT), "probo %llu, kernel %lld (ki_rssize)", u(e, 7),
          rss);
    check("proc(probo) size", within((long long)u(e, 6), size, RSS_DRIFT), "probo %llu, kernel %lld (ki_tsize+ki_dsize+ki_ssize)",
          u(e, 6), size);
    double pct = 100.0 * k->ki_pctcpu / FSCALE;
    check("proc(probo) cpu", d(e, 5) - pct < PCT_DRIFT && pct - d(e, 5) < PCT_DRIFT, "probo %.2f%%, kernel %.2f%% (ki_pctcpu)",
          d(e, 5), pct);
    /* Ticks at the statistics clock's rate; no more than the process has run. */
    struct clockinfo clock;
    length = sizeof clock;
    sysctlbyname("kern.clockrate", &clock, &length, NULL, 0);
    unsigned long long ticks = u(e, 1) + u(e, 2) + u(e, 3);
    double runtime = k->ki_runtime / 1e6;
    check("proc(probo) ticks", u(e, 4) == ticks / (unsigned)clock.stathz && ticks <= (runtime + 1) * clock.stathz,
          "probo %llu+%llu+%llu ticks %llu s, kernel %.3f s run at stathz %d (ki_runtime)", u(e, 1), u(e, 2), u(e, 3),
          u(e, 4), runtime, clock.stathz);
}

/* The variables {CTL_DEBUG, 0..19}; what this kernel lacks reads 0. */
static void check_debug(const struct entry *e)
{
    int same = e->count == 20;
    unsigned first = 0;
    for (int i = 0; i < 20; i++) {
        uint32_t value = 0;
        size_t length = sizeof value;
        int mib[2] = {CTL_DEBUG, i};
        sysctl(mib, 2, &value, &length, NULL, 0);
        same = same && u(e, i) == value;
        if (i == 0)
            first = value;
    }
    check("debug", same, "probo %d values, the first %llu, kernel 20, the first %u (debug.0 to debug.19)", e->count,
          u(e, 0), first);
}

/* The allocator's own counts per zone (vm.uma), which netstat -m sums
   otherwise; the cluster limit and sendfile's counters as the kernel
   gives them. */
static long long uma(const char *zone, const char *figure)
{
    char name[96];
    snprintf(name, sizeof name, "vm.uma.%s.%s", zone, figure);
    return sysctl_number(name);
}

static void check_mbuf(const struct entry *e)
{
    static const char *const ZONES[] = {"mbuf", "mbuf_packet", "mbuf_cluster", "mbuf_jumbo_page", "mbuf_jumbo_9k",
                                        "mbuf_jumbo_16k"};
    long long in_use = uma("mbuf", "stats.current") + uma("mbuf_packet", "stats.current"), fails = 0, sleeps = 0;
    for (int i = 0; i < 6; i++) {
        fails += uma(ZONES[i], "stats.fails");
        sleeps += uma(ZONES[i], "limit.sleeps");
    }
    check("mbuf in use", e->count == 15 && within((long long)u(e, 0), in_use, MBUF_DRIFT),
          "probo %llu, kernel %lld (vm.uma.mbuf and mbuf_packet stats.current)", u(e, 0), in_use);
    long long jumbo = uma("mbuf_jumbo_page", "stats.current");
    check("mbuf jumbo", within((long long)u(e, 7), jumbo, MBUF_DRIFT) && u(e, 8) == (unsigned long long)uma("mbuf_jumbo_9k", "stats.current") &&
              u(e, 9) == (unsigned long long)uma("mbuf_jumbo_16k", "stats.current"),
          "probo %llu %llu %llu, kernel %lld %lld %lld (stats.current)", u(e, 7), u(e, 8), u(e, 9), jumbo,
          uma("mbuf_jumbo_9k", "stats.current"), uma("mbuf_jumbo_16k", "stats.current"));
    long long clusters = sysctl_number("kern.ipc.nmbclusters");
    check("mbuf clusters allowed", u(e, 6) == (unsigned long long)clusters, "probo %llu, kernel %lld (kern.ipc.nmbclusters)",
          u(e, 6), clusters);
    check("mbuf denied, delayed", u(e, 10) == (unsigned long long)fails && u(e, 11) == (unsigned long long)sleeps,
          "probo %llu %llu, kernel %lld %lld (stats.fails, limit.sleeps)", u(e, 10), u(e, 11), fails, sleeps);
    struct sfstat sf;
    size_t length = sizeof sf;
    memset(&sf, 0, sizeof sf);
    sysctlbyname("kern.ipc.sfstat", &sf, &length, NULL, 0);
    check("mbuf sendfile", u(e, 12) == sf.sf_syscalls && u(e, 13) == sf.sf_iocnt && u(e, 14) == sf.sf_pages_read,
          "probo %llu %llu %llu, kernel %llu %llu %llu (kern.ipc.sfstat)", u(e, 12), u(e, 13), u(e, 14),
          (unsigned long long)sf.sf_syscalls, (unsigned long long)sf.sf_iocnt, (unsigned long long)sf.sf_pages_read);
}

static const struct {
    const char *type;
    void (*check)(const struct entry *);
} CHECKS[] = {{"cpu", check_cpu}, {"mem", check_mem},   {"load", check_load}, {"if", check_if},
              {"io", check_io},   {"df", check_df},     {"proc", check_proc}, {"debug", check_debug},
              {"mbuf", check_mbuf}};

static int reload_done;

/* Each line: the streams expected, each against the kernel. */
static void on_line(char *line)
{
    char copy[8192];
    strlcpy(copy, line, sizeof copy);
    struct entry entries[16];
    int n = parse(copy, entries, 16);
    char types[256] = "";
    for (int i = 0; i < n; i++) {
        struct entry *e = &entries[i];
        if (i > 0)
            strlcat(types, " ", sizeof types);
        strlcat(types, e->type, sizeof types);
        for (size_t k = 0; k < sizeof CHECKS / sizeof CHECKS[0]; k++)
            if (strcmp(e->type, CHECKS[k].type) == 0)
                CHECKS[k].check(e);
    }
    /* The reload takes debug out of what colvo accepts; sensor, zfs and
       pf have nothing to send on this kernel. */
    const char *want = reload_done ? "mbuf proc df df df io if load mem cpu" : "mbuf debug proc df df df io if load mem cpu";
    check(reload_done ? "streams after reload" : "streams", strcmp(types, want) == 0, "colvo %s, configured %s", types,
          want);
}

/* ---- the steps ---- */

static uint32_t crc32_msb(const unsigned char *p, size_t n)
{
    uint32_t crc = 0xFFFFFFFF;
    for (size_t i = 0; i < n; i++) {
        crc ^= (uint32_t)p[i] << 24;
        for (int bit = 0; bit < 8; bit++)
            crc = crc & 0x80000000 ? (crc << 1) ^ 0x04C11DB7 : crc << 1;
    }
    return ~crc;
}

/* probo's last datagram once more, and once with its MAC changed (CRC made
   anew): colvo must refuse both. */
static void forge(void)
{
    struct sockaddr_in to = {sizeof to, AF_INET, htons(PORT), {htonl(INADDR_LOOPBACK)}, {0}};
    unsigned char copy[sizeof last_datagram];
    memcpy(copy, last_datagram, (size_t)last_length);
    sendto(forger, copy, (size_t)last_length, 0, (struct sockaddr *)&to, sizeof to);
    copy[last_length - 1] ^= 1;
    memset(copy, 0, 4);
    uint32_t crc = htonl(crc32_msb(copy, (size_t)last_length));
    memcpy(copy, &crc, 4);
    sendto(forger, copy, (size_t)last_length, 0, (struct sockaddr *)&to, sizeof to);
    say("init: sent probo's datagram %d again, and with its mac changed", probo_datagrams);
}

/* colvo's figures as a new client is told them on connecting. */
static void check_refusals(void)
{
    int s = connect_unix(SOCKET);
    char text[1024];
    ssize_t n = s < 0 ? -1 : read(s, text, sizeof text - 1);
    text[n > 0 ? n : 0] = '\0';
    close(s);
    say("init: figures %s", strtok(text, "\n") ? text : "");
    const char *mac = strstr(text, ";bad_mac="), *replayed = strstr(text, ";replayed=");
    check("colvo refuses forged", mac && replayed && atoi(mac + 9) == 1 && atoi(replayed + 10) == 1,
          "colvo counts bad_mac=%d replayed=%d, init sent 1 and 1", mac ? atoi(mac + 9) : -1,
          replayed ? atoi(replayed + 10) : -1);
}

/* Nothing of probo's in flight, every line in: colvo rereads its
   configuration, and only then may probo send again. */
static void reload(void)
{
    if (probo_pid <= 0 || colvo_pid <= 0)
        return;
    kill(probo_pid, SIGSTOP);
    pump(probo_stopped, "stop of probo");
    read_bpf();
    pump(lines_caught_up, "lines for every datagram");
    int from = open("/etc/colvo-reload.conf", O_RDONLY), to = open(CONFIG, O_WRONLY | O_TRUNC);
    char text[4096];
    ssize_t n = read(from, text, sizeof text);
    write(to, text, n > 0 ? (size_t)n : 0);
    close(from);
    close(to);
    say("init: reload after datagram %d", datagrams);
    kill(colvo_pid, SIGHUP);
    check("colvo reload", pump(have_reloaded, "reload"), "colvo logged the configuration read");
    reload_done = 1;
    kill(probo_pid, SIGCONT);
}

/* Each waits for the other's last word: this kernel loses a connected
   datagram sender's last message when it ends while another ended
   sender's message still waits to be read. */
static void finish(void)
{
    int status = -1;
    if (probo_pid > 0 && kill(probo_pid, SIGTERM) == 0) {
        pump(probo_said_quit, "probo quitting");
        waitpid(probo_pid, &status, 0);
    }
    check("probo SIGTERM", WIFEXITED(status) && WEXITSTATUS(status) == 1, "probo exit %d, 1 wanted",
          WIFEXITED(status) ? WEXITSTATUS(status) : -1);
    read_bpf();
    pump(lines_caught_up, "lines for every datagram");
    status = -1;
    if (colvo_pid > 0 && kill(colvo_pid, SIGTERM) == 0) {
        pump(colvo_said_quit, "colvo quitting");
        waitpid(colvo_pid, &status, 0);
    }
    check("colvo SIGTERM", WIFEXITED(status) && WEXITSTATUS(status) == 75, "colvo exit %d, 75 wanted",
          WIFEXITED(status) ? WEXITSTATUS(status) : -1);
    pump(socket_closed, "end of the live socket");
    int same = fifo_count == sock_count && fifo_count == probo_datagrams;
    for (int i = 0; same && i < fifo_count && i < LINE_MAX_KEPT; i++)
        same = strcmp(fifo_lines[i], sock_lines[i]) == 0;
    check("colvo lines", same, "fifo %d, socket %d, the same; probo datagrams %d", fifo_count, sock_count,
          probo_datagrams);
    int promised = 0;
    for (int i = 0; i < PROMISED_COUNT; i++)
        promised += promised_seen[i] == 1;
    check("probo warnings", promised == PROMISED_COUNT && unpromised == 0,
          "probo gave %d of the %d promised once each (interval, sensor(cpu0), sensor(tz0), zfs, pf), %d others",
          promised, PROMISED_COUNT, unpromised);
    check("io(vtbd0) grows", last_rbytes - first_rbytes >= filler_read, "probo %llu bytes more, init read %llu",
          last_rbytes - first_rbytes, filler_read);
}

int main(void)
{
    int console = open("/dev/console", O_RDWR);
    if (console >= 0) {
        dup2(console, 0);
        dup2(console, 1);
        dup2(console, 2);
    }
    char release[64] = "?";
    size_t length = sizeof release;
    sysctlbyname("kern.osrelease", release, &length, NULL, 0);
    say("init: running on FreeBSD %s", release);
    page_size = getpagesize();
    /* The ports' libraries, colvo's librrd among them: no ldconfig hints here. */
    setenv("LD_LIBRARY_PATH", "/usr/local/lib", 1);
    set_clock();
    mount_tmpfs("/tmp");
    mount_tmpfs("/var/run");
    loopback_up();
    syslog_fds[0] = bind_unix(SOCK_DGRAM, _PATH_LOG_PRIV);
    syslog_fds[1] = bind_unix(SOCK_DGRAM, _PATH_LOG);
    bpf = open_bpf();
    forger = socket(AF_INET, SOCK_DGRAM, 0);
    struct sockaddr_in any = {sizeof any, AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {0}};
    bind(forger, (struct sockaddr *)&any, sizeof any);

    /* colvo reads its configuration from /tmp, where a reload can change it. */
    int from = open("/etc/colvo.conf", O_RDONLY), to = open(CONFIG, O_WRONLY | O_CREAT, 0644);
    char text[4096];
    ssize_t n = read(from, text, sizeof text);
    write(to, text, n > 0 ? (size_t)n : 0);
    close(from);
    close(to);
    char *colvo[] = {"/usr/local/sbin/colvo", "-u", "-f", CONFIG, NULL};
    launch(COLVO, colvo);
    /* A client is taken in the receive loop, after the port is bound. */
    live = connect_unix(SOCKET);
    pump(have_figures, "figures from colvo's socket");
    check("colvo pid file", colvo_pid > 0 && pid_file("/var/run/colvo.pid") == colvo_pid, "colvo logs as %d, pid file %d",
          (int)colvo_pid, (int)pid_file("/var/run/colvo.pid"));
    fifo = open(FIFO, O_RDONLY | O_NONBLOCK);
    say("init: colvo running, pid %d", (int)colvo_pid);

    char *probo[] = {"/usr/local/sbin/probo", "-u", "-f", "/etc/probo.conf", NULL};
    launch(PROBO, probo);
    pump(have_probo, "word from probo");
    int filler = open(FILLER, O_RDONLY);
    static char chunk[CHUNK];
    int forged = 0, refusals_checked = 0;
    for (line_target = 1; line_target <= LINES && failures < 20; line_target++) {
        if (!pump(got_line, "line from colvo"))
            break;
        if (!forged && fifo_count >= FORGE_AT) {
            forge();
            forged = 1;
        } else if (forged && !refusals_checked) {
            check_refusals();
            refusals_checked = 1;
        } else if (fifo_count >= RELOAD_AT && !reload_done) {
            reload();
        }
        /* The disk, read where nothing is cached yet, for the next lines. */
        ssize_t got = pread(filler, chunk, sizeof chunk, (off_t)filler_read);
        if (got > 0 && io_lines > 0 && fifo_count < LINES)
            filler_read += (unsigned long long)got;
    }
    finish();
    for (struct tally *t = tallies; t->name != NULL; t++)
        say("init: check %s: %s %d/%d: %s", t->name, t->bad ? "FAILED" : "ok", t->ok, t->ok + t->bad, t->detail);
    say("init: %d datagrams, %d lines; %s", datagrams, fifo_count, failures ? "FAILED" : "all checks passed");
    reboot(RB_POWEROFF);
    return 0;
}
