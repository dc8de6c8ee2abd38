// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// The smart probe: twelve normalized SMART attributes of ATA disks. Each
// disk is opened once, through CAM or as a plain node for the ATA driver's
// request, and asked for its SMART data once per tick; streams naming the
// same device path share its record. smart(*) finds the disks that answer
// a request for SMART data.
#include <sys/param.h>
#include <sys/ioctl.h>
#include <sys/ata.h>
#include <stdio.h> // <cam/cam.h> declares cam_error_print with a FILE
#include <cam/cam.h>
#include <cam/cam_ccb.h>
#include <camlib.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#include <utility>

#include "diskname.h"
#include "error.h"
#include "pack.h"
#include "probes.h"
#include "types.h"
#include "xmalloc.h"

// The line number this check has always been reported with.
enum { LINE_LIMIT = 120 };
enum {
    OBJECT_LIMIT = 10000,
    SMART_DATA_SIZE = 512,
    SMART_PATH_SIZE = 1024,
    SMART_VALUES = 12,
    SMART_ENTRIES = 30,
    ERROR_TEXT_SIZE = 512,
    TIMEOUT_MS = 1000,
};

// SMART READ DATA, with the signature the command wants in LBA mid and high.
enum {
    SMART_COMMAND = 0xB0,
    SMART_READ_DATA = 0xD0,
    SMART_LBA_MID = 0x4F,
    SMART_LBA_HIGH = 0xC2,
    SMART_LBA = SMART_LBA_HIGH << 16 | SMART_LBA_MID << 8,
};

struct smart_drive {
    uint8_t data[SMART_DATA_SIZE];
    struct ata_ioc_request request;
    struct cam_device *device;
    // The whole union: the kernel copies all of it in and back out.
    union ccb ccb;
    char path[SMART_PATH_SIZE];
    int32_t fd; // ATA drives only; otherwise not above 0
    int32_t failed;
};

static const uint8_t attribute_ids[SMART_VALUES] = {1,   5,   10,  190, 194, 196,
                                                    197, 198, 201, 221, 231, 254};

static smart_drive *drives;
static int32_t drive_count;

void smart_decode(const uint8_t *data, int32_t values[12])
{
    memset(values, 0, SMART_VALUES * sizeof(values[0]));
    for (int k = 0; k < SMART_ENTRIES; k++) {
        const uint8_t *entry = data + 2 + 12 * k;
        if (entry[0] == 0)
            return;
        for (int slot = 0; slot < SMART_VALUES; slot++)
            if (attribute_ids[slot] == entry[0])
                values[slot] = entry[3];
    }
}

static void prepare_ata(smart_drive *d, int fd)
{
    d->fd = fd;
    d->request.u.ata.command = SMART_COMMAND;
    d->request.u.ata.feature = SMART_READ_DATA;
    d->request.u.ata.lba = SMART_LBA;
    d->request.u.ata.count = 0;
    d->request.count = SMART_DATA_SIZE;
    d->request.flags = ATA_CMD_READ;
    d->request.timeout = TIMEOUT_MS;
}

static void prepare_cam(smart_drive *d, cam_device *device)
{
    d->device = device;
    struct ccb_ataio *io = &d->ccb.ataio;
    io->ccb_h.func_code = XPT_ATA_IO;
    io->ccb_h.retry_count = 0;
    io->ccb_h.cbfcnp = nullptr;
    io->ccb_h.flags = CAM_DIR_IN | CAM_DEV_QFRZDIS;
    io->ccb_h.timeout = TIMEOUT_MS;
    io->dxfer_len = SMART_DATA_SIZE;
    io->ata_flags = 0;
    memset(&io->cmd, 0, sizeof(io->cmd));
    io->cmd.flags = CAM_ATAIO_NEEDRESULT;
    io->cmd.command = SMART_COMMAND;
    io->cmd.features = SMART_READ_DATA;
    io->cmd.lba_low = 0;
    io->cmd.lba_mid = SMART_LBA_MID;
    io->cmd.lba_high = SMART_LBA_HIGH;
    io->cmd.sector_count = 1;
}

// A new record at the end of the table; every record's requests point at
// its own data again, wherever the table has moved.
static smart_drive *add_drive(const char *path)
{
    if (drive_count > 0 && drive_count > OBJECT_LIMIT)
        fatal("%s:%d: dynamic object limit (%d) exceeded for smart data", __FILE__, LINE_LIMIT,
              OBJECT_LIMIT);
    drives = static_cast<smart_drive *>(
        xrealloc(drives, static_cast<size_t>(drive_count + 1) * sizeof(smart_drive)));
    smart_drive *d = &drives[drive_count];
    memset(d, 0, sizeof(*d));
    for (int32_t i = 0; i <= drive_count; i++) {
        drives[i].request.data = reinterpret_cast<caddr_t>(drives[i].data);
        drives[i].ccb.ataio.data_ptr = drives[i].data;
    }
    snprintf(d->path, sizeof(d->path), "%s", path);
    return d;
}

void smart_start(stream *s)
{
    // An empty argument would reach the /dev directory itself.
    if (s->argument == nullptr || s->argument[0] == '\0')
        fatal("smart: need a <disk device|name> argument");
    char path[SMART_PATH_SIZE];
    diskname_iter it;
    diskname_init(&it, s->argument, path, sizeof(path));
    cam_device *device = nullptr;
    int fd = -1;
    while (device == nullptr && fd < 0) {
        if (diskname_next(&it) == nullptr)
            fatal("smart: cannot open '%.200s'", s->argument);
        device = cam_open_device(path, O_RDWR);
        if (device == nullptr)
            fd = open(path, O_RDONLY);
    }
    for (int32_t i = 0; i < drive_count; i++) {
        if (strncmp(drives[i].path, path, sizeof(path)) != 0)
            continue;
        if (device)
            cam_close_device(device);
        else
            close(fd);
        stream_probe_state(s)->smart.drive = i;
        return;
    }
    smart_drive *d = add_drive(path);
    if (device)
        prepare_cam(d, device);
    else
        prepare_ata(d, fd);
    stream_probe_state(s)->smart.drive = drive_count++;
    info("started module smart(%.200s)", s->argument);
}

// tell: warn of a failure (discovery only asks).
static void ask_ata(smart_drive *d, int tell)
{
    int result = ioctl(d->fd, IOCATAREQUEST, &d->request);
    if (result == 0 && d->request.error == 0) {
        d->failed = 0;
        return;
    }
    // A request the driver took but the drive refused carries its own error.
    if (tell)
        warning("smart: ioctl for drive '%s' failed: %s", d->path,
                strerror(result != 0 ? errno : d->request.error));
    d->failed = 1;
}

static void ask_cam(smart_drive *d, int tell)
{
    // A CCB can also come back undone (timeout, no such command on this
    // transport) with the result registers untouched: its status says so.
    if (cam_send_ccb(d->device, &d->ccb) == 0 && d->ccb.ataio.res.error == 0 &&
        (d->ccb.ccb_h.status & CAM_STATUS_MASK) == CAM_REQ_CMP) {
        d->failed = 0;
        return;
    }
    if (!tell) {
        d->failed = 1;
        return;
    }
    char text[ERROR_TEXT_SIZE];
    text[0] = '\0';
    cam_error_string(d->device, &d->ccb, text, sizeof(text), CAM_ESF_ALL, CAM_EPF_ALL);
    warning("smart: ccb for drive '%s' failed: %s", d->path, text);
    d->failed = 1;
}

static void ask(smart_drive *d, int tell)
{
    if (d->fd > 0)
        ask_ata(d, tell);
    else if (d->device)
        ask_cam(d, tell);
}

void smart_sample()
{
    for (int32_t i = 0; i < drive_count; i++)
        ask(&drives[i], 1);
}

// A disk io(*) found that opens as smart_start opens it and answers.
static void found_if_answering(void *receiver, const char *name)
{
    smart_drive *d = static_cast<smart_drive *>(xzalloc(sizeof(smart_drive)));
    d->request.data = reinterpret_cast<caddr_t>(d->data);
    d->ccb.ataio.data_ptr = d->data;
    diskname_iter it;
    diskname_init(&it, name, d->path, sizeof(d->path));
    while (d->device == nullptr && d->fd <= 0 && diskname_next(&it) != nullptr) {
        cam_device *device = cam_open_device(d->path, O_RDWR);
        if (device)
            prepare_cam(d, device);
        else if ((d->fd = open(d->path, O_RDONLY)) > 0)
            prepare_ata(d, d->fd);
    }
    d->failed = 1;
    ask(d, 0);
    if (d->device)
        cam_close_device(d->device);
    if (d->fd > 0)
        close(d->fd);
    if (!d->failed) {
        const auto *outer = static_cast<const std::pair<discover_found *, void *> *>(receiver);
        outer->first(outer->second, name);
    }
    xfree(d);
}

void smart_discover(discover_found *found, void *receiver)
{
    std::pair<discover_found *, void *> outer(found, receiver);
    disk_discover(found_if_answering, &outer);
}

int32_t smart_pack(uint8_t *buffer, int32_t space, stream *s)
{
    int32_t i = stream_probe_state(s)->smart.drive;
    if (i < 0 || i >= drive_count || drives[i].failed)
        return 0;
    int32_t v[SMART_VALUES];
    smart_decode(drives[i].data, v);
    return pack_typed_array<STREAM_SMART>(buffer, space, s->argument, v);
}
