// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// Stand-in for FreeBSD's <sys/ata.h>: the ATA request ioctl and its record
// as FreeBSD's amd64 kernel takes them (64 bytes).
#pragma once

#include <stddef.h>
#include <sys/types.h>

#define ATA_CMD_CONTROL 0x01
#define ATA_CMD_READ 0x02
#define ATA_CMD_WRITE 0x04
#define ATA_CMD_ATAPI 0x08

struct atapi_sense {
    u_int8_t error;
    u_int8_t segment;
    u_int8_t key;
    u_int32_t cmd_info __attribute__((packed));
    u_int8_t sense_length;
    u_int32_t cmd_specific_info __attribute__((packed));
    u_int8_t asc;
    u_int8_t ascq;
    u_int8_t replaceable_unit_code;
    u_int8_t specific;
    u_int8_t specific1;
    u_int8_t specific2;
} __attribute__((packed));

struct ata_ioc_request {
    union {
        struct {
            u_int8_t command;
            u_int8_t feature;
            u_int64_t lba;
            u_int16_t count;
        } ata;
        struct {
            char ccb[16];
            struct atapi_sense sense;
        } atapi;
    } u;
    caddr_t data;
    int count;
    int flags;
    int timeout;
    int error;
};

// _IOWR('a', 100, struct ata_ioc_request)
#define IOCATAREQUEST 0xC0406164UL

static_assert(sizeof(struct ata_ioc_request) == 64, "struct ata_ioc_request is 64 bytes");
static_assert(offsetof(struct ata_ioc_request, u.ata.lba) == 8, "lba at 8");
static_assert(offsetof(struct ata_ioc_request, u.ata.count) == 16, "ATA count at 16");
static_assert(offsetof(struct ata_ioc_request, u.ata.feature) == 1, "feature at 1");
static_assert(offsetof(struct ata_ioc_request, data) == 40, "data at 40");
static_assert(offsetof(struct ata_ioc_request, count) == 48, "count at 48");
static_assert(offsetof(struct ata_ioc_request, flags) == 52, "flags at 52");
static_assert(offsetof(struct ata_ioc_request, timeout) == 56, "timeout at 56");
static_assert(offsetof(struct ata_ioc_request, error) == 60, "error at 60");
