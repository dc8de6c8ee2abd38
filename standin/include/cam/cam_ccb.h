// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// Stand-in for FreeBSD's <cam/cam_ccb.h>: the CCB header, the ATA request
// CCB and the CCB union as FreeBSD's amd64 kernel takes them (union ccb is
// 1248 bytes: the kernel copies that much in and back out).
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <sys/time.h>
#include <cam/cam.h>
#include <cam/ata/ata_all.h>

#define XPT_FC_QUEUED 0x100
#define XPT_FC_USER_CCB 0x200
#define XPT_FC_XPT_ONLY 0x400
#define XPT_FC_DEV_QUEUED (0x800 | XPT_FC_QUEUED)

typedef enum {
    XPT_NOOP = 0x00,
    XPT_SCSI_IO = 0x01 | XPT_FC_DEV_QUEUED,
    XPT_ATA_IO = 0x18 | XPT_FC_DEV_QUEUED,
} xpt_opcode;

typedef enum {
    CAM_DIR_BOTH = 0x00000000,
    CAM_DIR_IN = 0x00000040,
    CAM_DIR_OUT = 0x00000080,
    CAM_DIR_NONE = 0x000000C0,
    CAM_DIR_MASK = 0x000000C0,
    CAM_DEV_QFRZDIS = 0x00000400,
} ccb_flags;

struct ccb_hdr;
struct cam_periph;
struct cam_path;

typedef union {
    struct {
        struct ccb_hdr *le_next;
        struct ccb_hdr **le_prev;
    } le;
    struct {
        struct ccb_hdr *sle_next;
    } sle;
    struct {
        struct ccb_hdr *tqe_next;
        struct ccb_hdr **tqe_prev;
    } tqe;
    struct {
        struct ccb_hdr *stqe_next;
    } stqe;
} camq_entry;

typedef union {
    void *ptr;
    u_long field;
    u_int8_t bytes;
} ccb_priv_entry;

typedef union {
    ccb_priv_entry entries[2];
    u_int8_t bytes[2 * sizeof(ccb_priv_entry)];
} ccb_ppriv_area;

typedef ccb_ppriv_area ccb_spriv_area;

struct ccb_qos_area {
    struct timeval *etime;
    uintptr_t sim_data;
    uintptr_t periph_data;
};

struct ccb_hdr {
    cam_pinfo pinfo;
    camq_entry xpt_links;
    camq_entry sim_links;
    camq_entry periph_links;
    uint16_t retry_count;
    uint16_t alloc_flags;
    void (*cbfcnp)(struct cam_periph *, union ccb *);
    xpt_opcode func_code;
    uint32_t status;
    struct cam_path *path;
    path_id_t path_id;
    target_id_t target_id;
    lun_id_t target_lun;
    uint32_t flags;
    uint32_t xflags;
    ccb_ppriv_area periph_priv;
    ccb_spriv_area sim_priv;
    struct ccb_qos_area qos;
    uint32_t timeout;
    struct timeval softtimeout;
};

struct ccb_ataio {
    struct ccb_hdr ccb_h;
    union ccb *next_ccb;
    struct ata_cmd cmd;
    struct ata_res res;
    uint8_t *data_ptr;
    uint32_t dxfer_len;
    uint32_t resid;
    uint8_t ata_flags;
    uint8_t icc;
    uint32_t aux;
    uint32_t unused;
};

union ccb {
    struct ccb_hdr ccb_h;
    struct ccb_ataio ataio;
    uint8_t size[1248]; // FreeBSD's largest member; the others are not used here
};

static_assert(sizeof(struct ccb_hdr) == 200, "struct ccb_hdr is 200 bytes");
static_assert(offsetof(struct ccb_hdr, retry_count) == 64, "retry_count at 64");
static_assert(offsetof(struct ccb_hdr, cbfcnp) == 72, "cbfcnp at 72");
static_assert(offsetof(struct ccb_hdr, func_code) == 80, "func_code at 80");
static_assert(offsetof(struct ccb_hdr, status) == 84, "status at 84");
static_assert(offsetof(struct ccb_hdr, flags) == 112, "flags at 112");
static_assert(offsetof(struct ccb_hdr, timeout) == 176, "timeout at 176");
static_assert(sizeof(struct ccb_ataio) == 272, "struct ccb_ataio is 272 bytes");
static_assert(offsetof(struct ccb_ataio, cmd) == 208, "cmd at 208");
static_assert(offsetof(struct ccb_ataio, res) == 222, "res at 222");
static_assert(offsetof(struct ccb_ataio, data_ptr) == 240, "data_ptr at 240");
static_assert(offsetof(struct ccb_ataio, dxfer_len) == 248, "dxfer_len at 248");
static_assert(offsetof(struct ccb_ataio, ata_flags) == 256, "ata_flags at 256");
static_assert(sizeof(union ccb) == 1248, "union ccb is 1248 bytes");
