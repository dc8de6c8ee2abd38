// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// Stand-in for FreeBSD's <cam/cam.h>: CAM's identifiers, request status
// codes and the error text call of the CAM library.
#pragma once

#include <stdint.h>
#include <sys/types.h>

typedef u_int path_id_t;
typedef u_int target_id_t;
typedef uint64_t lun_id_t;

typedef struct {
    uint32_t priority;
    uint32_t generation;
    int index;
} cam_pinfo;

typedef enum {
    CAM_REQ_INPROG = 0x00,
    CAM_REQ_CMP = 0x01,
    CAM_REQ_ABORTED = 0x02,
    CAM_REQ_CMP_ERR = 0x04,
    CAM_REQ_INVALID = 0x06,
    CAM_CMD_TIMEOUT = 0x0b,
    CAM_ATA_STATUS_ERROR = 0x1c,
    CAM_STATUS_MASK = 0x3f,
} cam_status;

typedef enum {
    CAM_ESF_NONE = 0x00,
    CAM_ESF_COMMAND = 0x01,
    CAM_ESF_CAM_STATUS = 0x02,
    CAM_ESF_PROTO_STATUS = 0x04,
    CAM_ESF_ALL = 0xff,
} cam_error_string_flags;

typedef enum {
    CAM_EPF_NONE = 0x00,
    CAM_EPF_NORMAL = 0x01,
    CAM_EPF_ALL = 0x02,
    CAM_EPF_LEVEL_MASK = 0x0f,
} cam_error_proto_flags;

struct cam_device;
union ccb;

extern "C" {
char *cam_error_string(struct cam_device *device, union ccb *ccb, char *str, int str_len,
                       cam_error_string_flags flags, cam_error_proto_flags proto_flags);
}
