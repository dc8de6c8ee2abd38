// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// Stand-in for FreeBSD's <sys/user.h>: struct kinfo_proc as the amd64
// kernel returns it from kern.proc (1088 bytes). It replaces the C library's
// unrelated header of the same name, which nothing here uses.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/types.h>

// FreeBSD's <sys/types.h> has these; the C library's has not.
typedef uint32_t fixpt_t; // fixed point with 11 fraction bits
typedef int64_t segsz_t;  // a segment size, in pages
typedef int32_t lwpid_t;

#define TDNAMLEN 16
#define WMESGLEN 8
#define LOGNAMELEN 17
#define LOCKNAMELEN 8
#define COMMLEN 19
#define KI_EMULNAMELEN 16
#define LOGINCLASSLEN 17
#define MAXCOMLEN 19

struct priority {
    u_char pri_class;
    u_char pri_level;
    u_char pri_native;
    u_char pri_user;
};

struct pargs;
struct proc;
struct user;
struct vnode;
struct filedesc;
struct vmspace;
struct pcb;
struct thread;
struct pwddesc;

struct kinfo_proc {
    int ki_structsize;
    int ki_layout;
    struct pargs *ki_args;
    struct proc *ki_paddr; // the kernel's process structure
    struct user *ki_addr;
    struct vnode *ki_tracep;
    struct vnode *ki_textvp;
    struct filedesc *ki_fd;
    struct vmspace *ki_vmspace;
    const void *ki_wchan;
    pid_t ki_pid;
    pid_t ki_ppid;
    pid_t ki_pgid;
    pid_t ki_tpgid;
    pid_t ki_sid;
    pid_t ki_tsid;
    short ki_jobc;
    short ki_spare_short1;
    uint32_t ki_tdev_freebsd11;
    uint32_t ki_siglist[4]; // FreeBSD's sigset_t
    uint32_t ki_sigmask[4];
    uint32_t ki_sigignore[4];
    uint32_t ki_sigcatch[4];
    uid_t ki_uid;
    uid_t ki_ruid;
    uid_t ki_svuid;
    gid_t ki_rgid;
    gid_t ki_svgid;
    short ki_ngroups;
    short ki_spare_short2;
    gid_t ki_groups[16];
    uint64_t ki_size; // virtual size, bytes
    segsz_t ki_rssize; // resident set, pages
    segsz_t ki_swrss;
    segsz_t ki_tsize; // text, pages
    segsz_t ki_dsize; // data, pages
    segsz_t ki_ssize; // stack, pages
    u_short ki_xstat;
    u_short ki_acflag;
    fixpt_t ki_pctcpu;
    u_int ki_estcpu;
    u_int ki_slptime;
    u_int ki_swtime;
    u_int ki_cow;
    uint64_t ki_runtime;
    struct timeval ki_start;
    struct timeval ki_childtime;
    long ki_flag;
    long ki_kiflag;
    int ki_traceflag;
    char ki_stat;
    signed char ki_nice;
    char ki_lock;
    char ki_rqindex;
    u_char ki_oncpu_old;
    u_char ki_lastcpu_old;
    char ki_tdname[TDNAMLEN + 1];
    char ki_wmesg[WMESGLEN + 1];
    char ki_login[LOGNAMELEN + 1];
    char ki_lockname[LOCKNAMELEN + 1];
    char ki_comm[COMMLEN + 1];
    char ki_emul[KI_EMULNAMELEN + 1];
    char ki_loginclass[LOGINCLASSLEN + 1];
    char ki_moretdname[MAXCOMLEN - TDNAMLEN + 1];
    char ki_sparestrings[46];
    int ki_spareints[2];
    uint64_t ki_tdev;
    int ki_oncpu;
    int ki_lastcpu;
    int ki_tracer;
    int ki_flag2;
    int ki_fibnum;
    u_int ki_cr_flags;
    int ki_jid;
    int ki_numthreads;
    lwpid_t ki_tid;
    struct priority ki_pri;
    struct rusage ki_rusage;
    struct rusage ki_rusage_ch;
    struct pcb *ki_pcb;
    void *ki_kstack;
    void *ki_udata;
    struct thread *ki_tdaddr;
    struct pwddesc *ki_pd;
    void *ki_spareptrs[5];
    long ki_sparelongs[12];
    long ki_sflag;
    long ki_tdflags;
};

static_assert(sizeof(struct kinfo_proc) == 1088, "struct kinfo_proc is 1088 bytes");
static_assert(offsetof(struct kinfo_proc, ki_paddr) == 16, "ki_paddr at 16");
static_assert(offsetof(struct kinfo_proc, ki_pid) == 72, "ki_pid at 72");
static_assert(offsetof(struct kinfo_proc, ki_size) == 256, "ki_size at 256");
static_assert(offsetof(struct kinfo_proc, ki_rssize) == 264, "ki_rssize at 264");
static_assert(offsetof(struct kinfo_proc, ki_tsize) == 280, "ki_tsize at 280");
static_assert(offsetof(struct kinfo_proc, ki_dsize) == 288, "ki_dsize at 288");
static_assert(offsetof(struct kinfo_proc, ki_ssize) == 296, "ki_ssize at 296");
static_assert(offsetof(struct kinfo_proc, ki_pctcpu) == 308, "ki_pctcpu at 308");
static_assert(offsetof(struct kinfo_proc, ki_comm) == 447, "ki_comm at 447");
static_assert(offsetof(struct kinfo_proc, ki_rusage) == 608, "ki_rusage at 608");
static_assert(offsetof(struct kinfo_proc, ki_pcb) == 896, "ki_pcb at 896");
static_assert(offsetof(struct kinfo_proc, ki_tdflags) == 1080, "ki_tdflags at 1080");
