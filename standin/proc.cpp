// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// The process table from Linux's /proc: kern.proc.all (one struct
// kinfo_proc per process), kern.maxproc, kern.clockrate, and the process
// structure images that kvm_read hands out. Everything is read through the
// /proc directory that kvm_openfiles keeps open, or, without one, through
// /proc opened by path for the call (which works only outside a chroot).
// Each process's stat and statm, and the table's own files, stay open
// from one read of the table to the next and are read again with pread.
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
#include <sys/resource.h>
#include <sys/vfs.h>
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
    // The probe's own limit on processes bounds the kept files as well.
    KEPT_PROCESSES_MAX = 10000,
    PROCFS_MAGIC = 0x9fa0, // Linux's PROC_SUPER_MAGIC
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

static void forget_kept();

void standin_proc_release()
{
    if (holders > 0 && --holders == 0) {
        forget_kept();
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

// A kept file read again from its start, NUL-terminated: the kernel makes
// the text anew for a read at offset 0. Its length or -1.
static int read_again(int fd, char *buffer, size_t size)
{
    ssize_t n = pread(fd, buffer, size - 1, 0);
    if (n < 0)
        return -1;
    buffer[n] = '\0';
    return static_cast<int>(n);
}

// openat, for a file kept open: on a descriptor above 2, as the stand-in
// keeps all of its own.
static int open_kept(int dir, const char *path)
{
    int fd = openat(dir, path, O_RDONLY | O_CLOEXEC);
    if (fd < 0 || fd > 2)
        return fd;
    int high = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    close(fd);
    return high;
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

// The text of /proc/<pid>/stat.
static int parse_stat(const char *text, proc_figures *f)
{
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
    return 0;
}

// The text of /proc/<pid>/statm (size resident shared text lib data dt, in
// pages), or null when it could not be read: a process gone in between, or
// a kernel thread, has no memory figures.
static void parse_statm(const char *text, proc_figures *f)
{
    f->text = f->data = f->resident = 0;
    unsigned long long m[6];
    if (text && standin_numbers(text, m, 6) == 6) {
        f->resident = m[1];
        f->text = m[3];
        f->data = m[5];
    }
}

// /proc/<pid>/stat and statm, opened for this read. A process that has
// gone fails with ESRCH.
static int read_process(int dir, int pid, proc_figures *f)
{
    char path[32], text[FILE_BUFFER];
    snprintf(path, sizeof(path), "%d/stat", pid);
    if (read_at(dir, path, text, sizeof(text)) < 0)
        return standin_fail(errno == ENOENT ? ESRCH : errno);
    if (parse_stat(text, f) != 0)
        return -1;
    snprintf(path, sizeof(path), "%d/statm", pid);
    parse_statm(read_at(dir, path, text, sizeof(text)) >= 0 ? text : nullptr, f);
    return 0;
}

// A listed process's stat and statm, kept open from one read of the table
// to the next (-1 when not open). The array is sorted by pid.
struct kept_files {
    int pid;
    int stat;
    int statm;
};

struct kept_list {
    kept_files *files;
    int count;
    int capacity;
};

static kept_list kept, next_kept;
// The table's clock, /proc/uptime.
static int kept_uptime = -1;

static void close_files(const kept_files &k)
{
    if (k.stat >= 0)
        close(k.stat);
    if (k.statm >= 0)
        close(k.statm);
}

static void forget_kept()
{
    for (int i = 0; i < kept.count; i++)
        close_files(kept.files[i]);
    kept.count = 0;
    if (kept_uptime >= 0)
        close(kept_uptime);
    kept_uptime = -1;
}

static void keep(kept_list *list, const kept_files &k)
{
    if (list->count == list->capacity) {
        list->capacity = list->capacity * 2 + 64;
        list->files = static_cast<kept_files *>(
            xrealloc(list->files, static_cast<size_t>(list->capacity) * sizeof(kept_files)));
    }
    list->files[list->count++] = k;
}

// The kept files of pid, taken out of the kept list (pid 0 marks the place
// taken); none open when it has none.
static kept_files take_kept(int pid)
{
    kept_files *end = kept.files + kept.count;
    kept_files *k = std::lower_bound(kept.files, end, pid,
                                     [](const kept_files &a, int p) { return a.pid < p; });
    if (k == end || k->pid != pid)
        return {pid, -1, -1};
    kept_files taken = *k;
    k->pid = 0;
    k->stat = k->statm = -1;
    return taken;
}

// Reads a listed process through its kept files, opening them if it has
// none and room is left (may_open). A read of a kept file that fails is
// the process gone (ESRCH), perhaps with its pid already another's: the
// files are closed and opened once more. Fails as read_process does; with
// no files kept, reads as read_process.
static int read_kept(int dir, kept_files *k, int may_open, proc_figures *f)
{
    char path[32], text[FILE_BUFFER];
    for (int attempt = 0; attempt < 2; attempt++) {
        if (k->stat < 0 && may_open) {
            snprintf(path, sizeof(path), "%d/stat", k->pid);
            k->stat = open_kept(dir, path);
            snprintf(path, sizeof(path), "%d/statm", k->pid);
            k->statm = k->stat >= 0 ? open_kept(dir, path) : -1;
        }
        if (k->stat < 0)
            return read_process(dir, k->pid, f);
        if (read_again(k->stat, text, sizeof(text)) >= 0) {
            if (parse_stat(text, f) != 0)
                return -1;
            parse_statm(k->statm >= 0 && read_again(k->statm, text, sizeof(text)) >= 0 ? text : nullptr, f);
            return 0;
        }
        close_files(*k);
        k->stat = k->statm = -1;
    }
    return standin_fail(ESRCH);
}

// How many processes may have their files kept: within half of this
// process's descriptors (two each), and the probe's own limit. None below
// anything but the kernel's own /proc (a test's fixture tree), whose
// files would go on reading as they were once removed.
static int kept_room(int dir)
{
    struct statfs fs;
    if (fstatfs(dir, &fs) != 0 || fs.f_type != PROCFS_MAGIC)
        return 0;
    rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return 0;
    rlim_t most = KEPT_PROCESSES_MAX;
    return static_cast<int>(limit.rlim_cur == RLIM_INFINITY ? most : std::min(limit.rlim_cur / 4, most));
}

// The table's clock file, kept when the process files are; its length or
// -1.
static int read_table_file(int dir, const char *path, int *kept_fd, int may_keep, char *buffer,
                           size_t size)
{
    if (*kept_fd < 0 && may_keep)
        *kept_fd = open_kept(dir, path);
    if (*kept_fd < 0)
        return read_at(dir, path, buffer, size);
    int n = read_again(*kept_fd, buffer, size);
    if (n < 0) {
        close(*kept_fd);
        *kept_fd = -1;
    }
    return n;
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

static unsigned long long uptime_ticks(int dir, int may_keep)
{
    char text[128];
    if (read_table_file(dir, "uptime", &kept_uptime, may_keep, text, sizeof(text)) < 0)
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
    int keep_room = kept_room(dir.fd);
    if (keep_room == 0)
        forget_kept();
    unsigned long long now = uptime_ticks(dir.fd, keep_room > 0);
    fresh_count = 0;
    next_kept.count = 0;
    int walked = each_pid(dir.fd, [&](int pid) {
        if (filled == room) {
            short_of_room = true;
            return 0;
        }
        proc_figures f;
        kept_files k = take_kept(pid);
        int may_keep = next_kept.count < keep_room;
        if (!may_keep) {
            // The room has shrunk (a lower descriptor limit) below those kept.
            close_files(k);
            k.stat = k.statm = -1;
        }
        int got = read_kept(dir.fd, &k, may_keep, &f);
        if (k.stat >= 0)
            keep(&next_kept, k);
        if (got != 0)
            return 1; // exited since the listing: not in this table
        unsigned long long ticks = f.user + f.system;
        kinfo_proc kp;
        fill(&kp, pid, f, pctcpu(pid, f.start, ticks, now));
        memcpy(static_cast<char *>(oldp) + filled * stride, &kp, std::min(stride, sizeof(kp)));
        if (stride > sizeof(kp))
            memset(static_cast<char *>(oldp) + filled * stride + sizeof(kp), 0, stride - sizeof(kp));
        filled++;
        remember(pid, f);
        return 1;
    });
    // The files of processes no longer listed are closed; those the walk
    // did not reach stay for the next one.
    for (int i = 0; i < kept.count; i++) {
        const kept_files &k = kept.files[i];
        if (k.pid == 0)
            continue;
        if (walked == 0 && !short_of_room)
            close_files(k);
        else
            keep(&next_kept, k);
    }
    std::sort(next_kept.files, next_kept.files + next_kept.count,
              [](const kept_files &a, const kept_files &b) { return a.pid < b.pid; });
    std::swap(kept, next_kept);
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
