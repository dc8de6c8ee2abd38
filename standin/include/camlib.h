// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// Stand-in for FreeBSD's <camlib.h>: the CAM pass-through library calls the
// probes use (see docs/standin.md).
#pragma once

#include <sys/param.h>
#include <cam/cam.h>
#include <cam/cam_ccb.h>

struct cam_device {
    char device_path[MAXPATHLEN];
    int fd;
    int error; // the stand-in's own: errno of the last pass-through that failed
};

extern "C" {
struct cam_device *cam_open_device(const char *path, int flags);
void cam_close_device(struct cam_device *dev);
int cam_send_ccb(struct cam_device *device, union ccb *ccb);
}
