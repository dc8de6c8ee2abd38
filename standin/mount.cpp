// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// getmntinfo: the mounts this process saw at start (/proc/self/mountinfo,
// opened then) with each file system's figures from statvfs on its mount
// point. A mount point out of reach (outside the chroot, or covered by
// another mount) leaves its file system out of the list. As FreeBSD's
// kernel does, MNT_NOWAIT gives the figures a mount had when first seen
// (FreeBSD: when mounted; statfs(2) does not renew them), MNT_WAIT asks
// the file system again.
#include <sys/types.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "internal.h"
#include "standin.h"

enum { FIELD_SIZE = PATH_MAX };

// One line of mountinfo: id parent major:minor root point options
// [optional fields] - type source super-options.
struct mount_line {
    dev_t dev;
    char point[FIELD_SIZE];
    char type[FIELD_SIZE];
    char source[FIELD_SIZE];
};

static char *text;
static size_t text_size;
static struct statfs *mounts; // the library's array: grows, never shrinks
static size_t capacity;
static standin_fs_reader *fs_reader;

// A mount's figures as last asked for; its line of mountinfo is its
// identity. Mounts no longer listed are forgotten.
struct kept_figures {
    kept_figures *next;
    char *line; // up to its newline
    size_t length;
    standin_fs_figures figures;
    unsigned listed; // the call that last listed it
};
static kept_figures *kept;
static unsigned calls;

static void forget(unsigned unless_listed)
{
    for (kept_figures **k = &kept; *k;) {
        kept_figures *gone = *k;
        if (gone->listed == unless_listed) {
            k = &gone->next;
            continue;
        }
        *k = gone->next;
        free(gone->line);
        free(gone);
    }
}

static kept_figures *kept_for(const char *line, size_t length)
{
    for (kept_figures *k = kept; k; k = k->next)
        if (k->length == length && memcmp(k->line, line, length) == 0)
            return k;
    return nullptr;
}

// 0 when out of memory.
static int keep(const char *line, size_t length, const standin_fs_figures &f)
{
    kept_figures *k = kept_for(line, length);
    if (k == nullptr) {
        k = static_cast<kept_figures *>(calloc(1, sizeof(*k)));
        if (k == nullptr || (k->line = static_cast<char *>(malloc(length))) == nullptr) {
            free(k);
            return 0;
        }
        memcpy(k->line, line, length);
        k->length = length;
        k->next = kept;
        kept = k;
    }
    k->figures = f;
    k->listed = calls;
    return 1;
}

// Other figures are other file systems: nothing kept stays.
void standin_set_fs_reader(standin_fs_reader *reader)
{
    fs_reader = reader;
    forget(calls + 1);
}

static int is_octal(char c)
{
    return c >= '0' && c <= '7';
}

// The next blank-separated field into out, with the kernel's octal escapes
// (\040 for a blank) undone; 0 at the end of the line or when it is too long.
static int next_field(const char **p, char *out, size_t size)
{
    const char *s = *p;
    while (*s == ' ')
        s++;
    size_t n = 0;
    for (; *s && *s != ' ' && *s != '\n'; n++) {
        if (n + 1 >= size)
            return 0;
        if (s[0] == '\\' && is_octal(s[1]) && is_octal(s[2]) && is_octal(s[3])) {
            out[n] = static_cast<char>((s[1] - '0') << 6 | (s[2] - '0') << 3 | (s[3] - '0'));
            s += 4;
        } else {
            out[n] = *s++;
        }
    }
    out[n] = '\0';
    *p = s;
    return n > 0;
}

static int parse_line(const char *line, mount_line *m)
{
    char field[FIELD_SIZE];
    unsigned major, minor;
    const char *p = line;
    if (!next_field(&p, field, sizeof(field)) || !next_field(&p, field, sizeof(field)) ||
        !next_field(&p, field, sizeof(field)) || sscanf(field, "%u:%u", &major, &minor) != 2 ||
        !next_field(&p, field, sizeof(field)) || !next_field(&p, m->point, sizeof(m->point)))
        return 0;
    m->dev = makedev(major, minor);
    do {
        if (!next_field(&p, field, sizeof(field)))
            return 0;
    } while (strcmp(field, "-") != 0);
    return next_field(&p, m->type, sizeof(m->type)) && next_field(&p, m->source, sizeof(m->source));
}

// Inside a chroot the path may name some other directory of the jail:
// trusted only when it lies on the mount's own device.
static int real_figures(const mount_line &m, standin_fs_figures *f)
{
    struct stat st;
    struct statvfs v;
    if (stat(m.point, &st) != 0 || st.st_dev != m.dev || statvfs(m.point, &v) != 0)
        return 0;
    f->bsize = v.f_frsize;
    f->blocks = v.f_blocks;
    f->bfree = v.f_bfree;
    f->bavail = static_cast<long long>(v.f_bavail);
    f->files = v.f_files;
    f->ffree = static_cast<long long>(v.f_ffree);
    return 1;
}

static void copy(char *to, size_t size, const char *from)
{
    size_t n = strnlen(from, size - 1);
    memcpy(to, from, n);
    to[n] = '\0';
}

static void fill(struct statfs *s, const mount_line &m, const standin_fs_figures &f)
{
    memset(s, 0, sizeof(*s));
    s->f_version = STATFS_VERSION;
    s->f_bsize = f.bsize;
    s->f_iosize = f.bsize;
    s->f_blocks = f.blocks;
    s->f_bfree = f.bfree;
    s->f_bavail = f.bavail;
    s->f_files = f.files;
    s->f_ffree = f.ffree;
    s->f_fsid.val[0] = static_cast<int32_t>(m.dev);
    copy(s->f_fstypename, sizeof(s->f_fstypename), m.type);
    copy(s->f_mntfromname, sizeof(s->f_mntfromname), m.source);
    copy(s->f_mntonname, sizeof(s->f_mntonname), m.point);
}

extern "C" int getmntinfo(struct statfs **mntbufp, int mode)
{
    if (standin_read_all(SF_MOUNTINFO, &text, &text_size) < 0)
        return 0;
    calls++;
    size_t count = 0;
    static mount_line m; // three path buffers: kept off the stack
    for (const char *line = text; line && *line; line = standin_next_line(line)) {
        // An automount point would be mounted by asking for its figures.
        if (!parse_line(line, &m) || strcmp(m.type, "autofs") == 0)
            continue;
        size_t length = strcspn(line, "\n");
        kept_figures *k = kept_for(line, length);
        standin_fs_figures f = {};
        if (k != nullptr && mode != MNT_WAIT) {
            f = k->figures;
            k->listed = calls;
        } else if (fs_reader ? !fs_reader(m.point, &f) : !real_figures(m, &f)) {
            continue;
        } else if (!keep(line, length, f)) {
            errno = ENOMEM;
            return 0;
        }
        if (count == capacity) {
            size_t grown = capacity ? capacity * 2 : 64;
            void *bigger = realloc(mounts, grown * sizeof(struct statfs));
            if (bigger == nullptr) {
                errno = ENOMEM;
                return 0;
            }
            mounts = static_cast<struct statfs *>(bigger);
            capacity = grown;
        }
        fill(&mounts[count++], m, f);
    }
    forget(calls);
    *mntbufp = mounts;
    if (count == 0)
        errno = ENOENT;
    return static_cast<int>(count);
}

// Linux's types that hold no device of their own but real data: the rest
// of its "nodev" types are views of the kernel (proc, sysfs, cgroup...).
static const char *const NODEV_WITH_DATA[] = {"tmpfs", "ramfs",    "overlay", "zfs",  "fuse",
                                              "nfs",   "nfs4",     "cifs",    "smb3", "ceph",
                                              "9p",    "virtiofs", "aufs"};
static const char *const NETWORK[] = {"nfs", "nfs4", "cifs", "smb3", "ceph", "9p"};

static int listed(const char *const *names, size_t count, const char *name)
{
    for (size_t i = 0; i < count; i++)
        if (strcmp(names[i], name) == 0)
            return 1;
    return 0;
}

static char *types_text;
static size_t types_size;

// /proc/filesystems: one type a line, "nodev" before those without a device.
extern "C" int getvfsbyname(const char *name, struct xvfsconf *vfc)
{
    if (standin_read_all(SF_FILESYSTEMS, &types_text, &types_size) < 0)
        return -1;
    for (const char *line = types_text; line && *line; line = standin_next_line(line)) {
        int nodev = strncmp(line, "nodev", 5) == 0;
        const char *type = standin_skip_blanks(line + (nodev ? 5 : 0));
        size_t length = strcspn(type, " \t\n");
        if (length != strlen(name) || strncmp(type, name, length) != 0)
            continue;
        memset(vfc, 0, sizeof(*vfc));
        copy(vfc->vfc_name, sizeof(vfc->vfc_name), name);
        if (nodev && !listed(NODEV_WITH_DATA, std::size(NODEV_WITH_DATA), name))
            vfc->vfc_flags |= VFCF_SYNTHETIC;
        if (listed(NETWORK, std::size(NETWORK), name))
            vfc->vfc_flags |= VFCF_NETWORK;
        return 0;
    }
    return standin_fail(ENOENT);
}
