// The process table from Linux's /proc: kern.proc.all (one struct
// kinfo_proc per process), kern.maxproc, kern.clockrate, and the process
// structure images that kvm_read hands out. Everything is read through the
// /proc directory that kvm_openfiles keeps open, or, without one, through
// /proc opened by path for the call (which works only outside a chroot).
#include <sys/types.h>
#include <sys/sysctl.h>
#include <sys/time.h>
#include <sys/user.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include "internal.h"
#include "procfs.h"
#include "standin.h"
#include "unique_fd.h"
#include "xmalloc.h"

enum {
    PCTCPU_SCALE = 1 << 11, // FreeBSD's FSCALE
    PROC_IMAGE_SIZE = 1376,
    IMAGE_UTICKS = 720,
    IMAGE_STICKS = 728,
    DIRENT_BUFFER = 8192,
    FILE_BUFFER = 1024,
};

// Where ki_paddr points: a kernel-looking address that encodes the pid.
static const unsigned long PROC_BASE = 0xfffffe0000000000UL;
static const unsigned long PROC_STRIDE = 2048;

static int held = -1;
static int holders;
static int stathz_override;
static size_t record_override;


// The kept /proc directory, or one opened by path for this call.
struct proc_dir {
    unique_fd own;
    int fd;
    proc_dir()
        : own(held >= 0 ? -1 : standin_open_at_root("/proc", O_RDONLY | O_DIRECTORY)),
          fd(held >= 0 ? held : own.fd)
    {
    }
};

int standin_proc_hold()
{
    if (holders == 0) {
        held = standin_open_at_root("/proc", O_RDONLY | O_DIRECTORY);
        if (held < 0)
            return -1;
    }
    holders++;
    return 0;
}

void standin_proc_release()
{
    if (holders > 0 && --holders == 0) {
        close(held);
        held = -1;
    }
}

void standin_set_proc_kernel(int stathz, size_t record_size)
{
    stathz_override = stathz;
    record_override = record_size;
}

// The rate /proc counts process times in: the user-visible clock tick.
static int clock_rate()
{
    return stathz_override > 0 ? stathz_override : static_cast<int>(sysconf(_SC_CLK_TCK));
}

// A small file below the /proc directory, NUL-terminated; its length or -1.
static int read_at(int dir, const char *path, char *buffer, size_t size)
{
    unique_fd file(openat(dir, path, O_RDONLY | O_CLOEXEC));
    if (file.fd < 0)
        return -1;
    ssize_t n = read(file.fd, buffer, size - 1);
    if (n < 0)
        return -1;
    buffer[n] = '\0';
    return static_cast<int>(n);
}

struct proc_figures {
    char comm[COMMLEN + 1];
    int ppid;
    long nice;
    unsigned long long user, system; // ticks
    unsigned long long start;        // ticks since boot
    unsigned long long vsize;        // bytes
    unsigned long long text, data, resident; // pages
};

// /proc/<pid>/stat and statm. A process that has gone fails with ESRCH.
static int read_process(int dir, int pid, proc_figures *f)
{
    char path[32], text[FILE_BUFFER];
    snprintf(path, sizeof(path), "%d/stat", pid);
    if (read_at(dir, path, text, sizeof(text)) < 0)
        return standin_fail(errno == ENOENT ? ESRCH : errno);
    // The name may hold blanks and parentheses: it ends at the last ')'.
    const char *open = strchr(text, '(');
    const char *close = strrchr(text, ')');
    if (open == nullptr || close == nullptr || close < open)
        return standin_fail(EINVAL);
    size_t length = std::min(static_cast<size_t>(close - open - 1), static_cast<size_t>(COMMLEN));
    memcpy(f->comm, open + 1, length);
    f->comm[length] = '\0';
    // After the name, counted from 1: state, ppid, ... utime (12), stime,
    // ... nice (17), ... starttime (20), vsize.
    unsigned long long v[2];
    long long nice;
    const char *field = standin_skip_fields(close + 1, 1);
    if (field == nullptr || standin_numbers(field, v, 1) != 1 || v[0] > INT_MAX)
        return standin_fail(EINVAL);
    f->ppid = static_cast<int>(v[0]);
    field = standin_skip_fields(field, 10);
    if (field == nullptr || standin_numbers(field, v, 2) != 2)
        return standin_fail(EINVAL);
    f->user = v[0];
    f->system = v[1];
    field = standin_skip_fields(field, 5);
    if (field == nullptr || !standin_integer(field, &nice))
        return standin_fail(EINVAL);
    f->nice = static_cast<long>(nice);
    field = standin_skip_fields(field, 3);
    if (field == nullptr || standin_numbers(field, v, 2) != 2)
        return standin_fail(EINVAL);
    f->start = v[0];
    f->vsize = v[1];
    // Gone in between, or a kernel thread: no memory figures. statm: size
    // resident shared text lib data dt, in pages.
    f->text = f->data = f->resident = 0;
    snprintf(path, sizeof(path), "%d/statm", pid);
    unsigned long long m[6];
    if (read_at(dir, path, text, sizeof(text)) >= 0 && standin_numbers(text, m, 6) == 6) {
        f->resident = m[1];
        f->text = m[3];
        f->data = m[5];
    }
    return 0;
}

// Calls visit(pid) for every process directory until visit returns 0.
template <typename F> static int each_pid(int dir, F visit)
{
    if (lseek(dir, 0, SEEK_SET) < 0)
        return -1;
    alignas(dirent64) char buffer[DIRENT_BUFFER];
    for (;;) {
        ssize_t n = getdents64(dir, buffer, sizeof(buffer));
        if (n <= 0)
            return static_cast<int>(n);
        for (ssize_t at = 0; at < n;) {
            const dirent64 *entry = reinterpret_cast<const dirent64 *>(buffer + at);
            at += entry->d_reclen;
            char *end;
            long pid = strtol(entry->d_name, &end, 10);
            if (!isdigit(static_cast<unsigned char>(entry->d_name[0])) || *end != '\0' ||
                pid <= 0 || pid > INT32_MAX)
                continue;
            if (!visit(static_cast<int>(pid)))
                return 0;
        }
    }
}

// CPU share since the previous full read: each process's ticks then, and
// when that was (uptime in ticks). Sorted by pid.
struct cpu_mark {
    int pid;
    unsigned long long start;
    unsigned long long user, system;
};

static cpu_mark *marks, *fresh;
static int mark_count, fresh_count, mark_capacity;
static unsigned long long marks_time;
static timespec marks_read; // the full read's time on the monotonic clock

static void remember(int pid, const proc_figures &f)
{
    if (fresh_count == mark_capacity) {
        mark_capacity = mark_capacity * 2 + 64;
        marks = static_cast<cpu_mark *>(xrealloc(marks, mark_capacity * sizeof(cpu_mark)));
        fresh = static_cast<cpu_mark *>(xrealloc(fresh, mark_capacity * sizeof(cpu_mark)));
    }
    fresh[fresh_count++] = {pid, f.start, f.user, f.system};
}

static void commit_marks(unsigned long long now)
{
    std::sort(fresh, fresh + fresh_count,
              [](const cpu_mark &a, const cpu_mark &b) { return a.pid < b.pid; });
    std::swap(marks, fresh);
    mark_count = fresh_count;
    marks_time = now;
    standin_mark(&marks_read);
}

static const cpu_mark *find_mark(int pid)
{
    const cpu_mark *m = std::lower_bound(
        marks, marks + mark_count, pid, [](const cpu_mark &a, int p) { return a.pid < p; });
    return m != marks + mark_count && m->pid == pid ? m : nullptr;
}

// The ticks of the full read when it is a moment old: the probe reads the
// structure of each matching process for every stream it packs, and the
// table of this measurement already holds them.
static const cpu_mark *fresh_mark(int pid)
{
    return standin_recent(&marks_read) ? find_mark(pid) : nullptr;
}

// The share of one CPU, in FreeBSD's fixed point, since the previous read;
// for a process new since then (or the first read), since it started.
static fixpt_t pctcpu(int pid, unsigned long long start, unsigned long long ticks,
                      unsigned long long now)
{
    unsigned long long base = 0, since = start;
    const cpu_mark *m = find_mark(pid);
    if (m && m->start == start && m->user + m->system <= ticks && marks_time < now) {
        base = m->user + m->system;
        since = marks_time;
    }
    if (now <= since)
        return 0;
    unsigned long long share = (ticks - base) * PCTCPU_SCALE / (now - since);
    return static_cast<fixpt_t>(std::min(share, static_cast<unsigned long long>(UINT32_MAX)));
}

static unsigned long long uptime_ticks(int dir)
{
    char text[128];
    if (read_at(dir, "uptime", text, sizeof(text)) < 0)
        return 0;
    double seconds = 0;
    standin_decimals(text, &seconds, 1);
    return static_cast<unsigned long long>(seconds * clock_rate() + 0.5);
}

static void fill(kinfo_proc *k, int pid, const proc_figures &f, fixpt_t pct)
{
    memset(k, 0, sizeof(*k));
    k->ki_structsize = sizeof(*k);
    k->ki_paddr = reinterpret_cast<struct proc *>(PROC_BASE + pid * PROC_STRIDE);
    k->ki_pid = pid;
    k->ki_ppid = f.ppid;
    k->ki_size = f.vsize;
    k->ki_rssize = static_cast<segsz_t>(f.resident);
    k->ki_tsize = static_cast<segsz_t>(f.text);
    // Linux counts the stack with the data; the sum is what matters.
    k->ki_dsize = static_cast<segsz_t>(f.data);
    k->ki_pctcpu = pct;
    k->ki_nice = static_cast<signed char>(f.nice);
    memcpy(k->ki_comm, f.comm, sizeof(k->ki_comm));
}

int read_proc_all(const int *, u_int, void *oldp, size_t *oldlenp)
{
    proc_dir dir;
    if (dir.fd < 0)
        return -1;
    size_t stride = record_override ? record_override : sizeof(kinfo_proc);
    if (oldp == nullptr) {
        size_t count = 0;
        if (each_pid(dir.fd, [&](int) {
                count++;
                return 1;
            }) < 0)
            return -1;
        return standin_deliver(nullptr, count * stride, nullptr, oldlenp);
    }
    size_t room = oldlenp ? *oldlenp / stride : 0;
    size_t filled = 0;
    bool short_of_room = false;
    unsigned long long now = uptime_ticks(dir.fd);
    fresh_count = 0;
    int walked = each_pid(dir.fd, [&](int pid) {
        if (filled == room) {
            short_of_room = true;
            return 0;
        }
        proc_figures f;
        if (read_process(dir.fd, pid, &f) != 0)
            return 1; // exited since the listing: not in this table
        unsigned long long ticks = f.user + f.system;
        kinfo_proc k;
        fill(&k, pid, f, pctcpu(pid, f.start, ticks, now));
        memcpy(static_cast<char *>(oldp) + filled * stride, &k, std::min(stride, sizeof(k)));
        if (stride > sizeof(k))
            memset(static_cast<char *>(oldp) + filled * stride + sizeof(k), 0, stride - sizeof(k));
        filled++;
        remember(pid, f);
        return 1;
    });
    if (walked < 0)
        return -1;
    if (oldlenp)
        *oldlenp = filled * stride;
    if (short_of_room)
        return standin_fail(ENOMEM);
    commit_marks(now);
    return 0;
}

int read_maxproc(const int *, u_int, void *oldp, size_t *oldlenp)
{
    proc_dir dir;
    char text[64];
    if (dir.fd < 0 || read_at(dir.fd, "sys/kernel/pid_max", text, sizeof(text)) < 0)
        return -1;
    int limit = atoi(text);
    if (limit <= 0)
        return standin_fail(ENOENT);
    return standin_deliver(&limit, sizeof(limit), oldp, oldlenp);
}

int read_clockrate(const int *, u_int, void *oldp, size_t *oldlenp)
{
    clockinfo c;
    memset(&c, 0, sizeof(c));
    c.hz = static_cast<int>(sysconf(_SC_CLK_TCK));
    c.tick = 1000000 / c.hz;
    c.stathz = clock_rate();
    c.profhz = c.stathz;
    return standin_deliver(&c, sizeof(c), oldp, oldlenp);
}

int standin_proc_image(unsigned long address, void *buffer, size_t size)
{
    unsigned long offset = (address - PROC_BASE) % PROC_STRIDE;
    unsigned long pid = (address - PROC_BASE) / PROC_STRIDE;
    if (address < PROC_BASE || pid == 0 || pid > INT32_MAX || offset > PROC_IMAGE_SIZE ||
        size > PROC_IMAGE_SIZE - offset)
        return standin_fail(EFAULT);
    uint64_t user, system; // interrupt ticks: none on Linux
    proc_dir dir;
    char path[32];
    snprintf(path, sizeof(path), "%lu/stat", pid);
    const cpu_mark *m = fresh_mark(static_cast<int>(pid));
    proc_figures f;
    if (m && dir.fd >= 0 && faccessat(dir.fd, path, F_OK, 0) == 0) {
        // Still there: the ticks of the read a moment ago serve.
        user = m->user;
        system = m->system;
    } else if (dir.fd >= 0 && read_process(dir.fd, static_cast<int>(pid), &f) == 0) {
        user = f.user;
        system = f.system;
    } else {
        return -1;
    }
    unsigned char image[PROC_IMAGE_SIZE] = {};
    memcpy(image + IMAGE_UTICKS, &user, sizeof(user));
    memcpy(image + IMAGE_STICKS, &system, sizeof(system));
    memcpy(buffer, image + offset, size);
    return 0;
}
