// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// Stand-in for FreeBSD's <kvm.h>: the kernel memory calls the probes use.
#pragma once

#include <sys/types.h>

typedef struct __kvm kvm_t;

extern "C" {
kvm_t *kvm_openfiles(const char *execfile, const char *corefile, const char *swapfile,
                     int flags, char *errbuf);
ssize_t kvm_read(kvm_t *kd, unsigned long address, void *buffer, size_t size);
char *kvm_geterr(kvm_t *kd);
int kvm_close(kvm_t *kd);
}
