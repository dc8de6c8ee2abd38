// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// What the process table (proc.cpp) shares with the kernel memory calls
// (kvm.cpp): the /proc directory kept open for both, and the image of a
// process structure that kvm_read hands out.
#pragma once

#include <cstddef>

// Opens the /proc directory below the root and keeps it, so the process
// table can be read inside the chroot; counted, one per kvm handle.
// 0, or -1 with errno set.
int standin_proc_hold();
void standin_proc_release();

// Copies size bytes at a process structure address (as ki_paddr gives it)
// into buffer: the structure is the process's tick counters at FreeBSD's
// offsets, zeros elsewhere. 0, or -1 with errno set (EFAULT for an address
// that is no process's, ESRCH for a process that has gone).
int standin_proc_image(unsigned long address, void *buffer, size_t size);
