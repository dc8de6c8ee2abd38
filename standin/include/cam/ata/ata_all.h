// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// Stand-in for FreeBSD's <cam/ata/ata_all.h>: the ATA command and result
// registers of a CAM ATA request.
#pragma once

#include <stdint.h>

struct ata_cmd {
    uint8_t flags;
#define CAM_ATAIO_48BIT 0x01
#define CAM_ATAIO_FPDMA 0x02
#define CAM_ATAIO_CONTROL 0x04
#define CAM_ATAIO_NEEDRESULT 0x08
#define CAM_ATAIO_DMA 0x10
    uint8_t command;
    uint8_t features;
    uint8_t lba_low;
    uint8_t lba_mid;
    uint8_t lba_high;
    uint8_t device;
    uint8_t lba_low_exp;
    uint8_t lba_mid_exp;
    uint8_t lba_high_exp;
    uint8_t features_exp;
    uint8_t sector_count;
    uint8_t sector_count_exp;
    uint8_t control;
};

struct ata_res {
    uint8_t flags;
    uint8_t status;
    uint8_t error;
    uint8_t lba_low;
    uint8_t lba_mid;
    uint8_t lba_high;
    uint8_t device;
    uint8_t lba_low_exp;
    uint8_t lba_mid_exp;
    uint8_t lba_high_exp;
    uint8_t sector_count;
    uint8_t sector_count_exp;
};

static_assert(sizeof(struct ata_cmd) == 14, "struct ata_cmd is 14 bytes");
static_assert(sizeof(struct ata_res) == 12, "struct ata_res is 12 bytes");
