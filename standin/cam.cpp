// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// CAM pass-through (cam_open_device, cam_send_ccb, cam_error_string) and the
// ATA driver's request ioctl, for ATA commands that read. Linux reaches ATA
// disks through the SCSI generic layer: each command travels as an ATA
// PASS-THROUGH (16) CDB over SG_IO, and the registers the drive returns come
// back in the sense data. Disks without it (virtio, NVMe) refuse SG_IO.
#include <sys/param.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/ata.h>
#include <cam/cam.h>
#include <cam/cam_ccb.h>
#include <camlib.h>
#include <scsi/sg.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "internal.h"
#include "standin.h"
#include "unique_fd.h"
#include "xmalloc.h"

enum {
    ATA_PASS_THROUGH_16 = 0x85,
    PROTOCOL_NON_DATA = 3,
    PROTOCOL_PIO_IN = 4,
    CK_COND = 0x20,
    T_DIR_IN = 0x08,
    BYT_BLOK = 0x04,
    T_LENGTH_COUNT = 0x02, // transfer length in the sector count register
    BLOCK = 512,
    SENSE_SIZE = 32,
    STATUS_GOOD = 0x00,
    STATUS_CHECK_CONDITION = 0x02,
    HOST_TIME_OUT = 0x03,
    DRIVER_TIMEOUT = 0x06,
    DRIVER_SENSE = 0x08,
    KEY_NO_SENSE = 0x00,
    KEY_RECOVERED = 0x01,
    KEY_ILLEGAL_REQUEST = 0x05,
    KEY_ABORTED = 0x0B,
    ATA_RETURN_DESCRIPTOR = 0x09,
    ATA_STATUS_ERR = 0x01,
};

// How a command ended, as CAM and the ATA driver report it.
enum outcome { DONE, ATA_ERROR, REFUSED, TIMED_OUT, FAILED };

struct outcome_row {
    cam_status status;
    int error; // the ATA request's error field
    const char *text;
};

static const outcome_row outcomes[] = {
    {CAM_REQ_CMP, 0, "CCB request completed without error"},
    {CAM_ATA_STATUS_ERROR, EIO, "ATA Status Error"},
    {CAM_REQ_INVALID, EOPNOTSUPP, "CCB request was invalid"},
    {CAM_CMD_TIMEOUT, ETIMEDOUT, "Command timeout"},
    {CAM_REQ_CMP_ERR, EIO, "CCB request completed with an error"},
};


// --- Disks for tests: they answer the SCSI generic requests themselves.

static standin_disk *disks;
static int disk_count;

void standin_set_disks(standin_disk *list, int count)
{
    disks = list;
    disk_count = list ? count : 0;
}

static standin_disk *disk_of(int fd)
{
    struct stat open_file, named;
    if (disks == nullptr || fstat(fd, &open_file) != 0)
        return nullptr;
    for (int i = 0; i < disk_count; i++)
        if (stat(disks[i].path, &named) == 0 && named.st_dev == open_file.st_dev &&
            named.st_ino == open_file.st_ino)
            return &disks[i];
    return nullptr;
}

// A CHECK CONDITION in descriptor format, with the ATA registers when given.
static void answer_sense(sg_io_hdr_t *h, uint8_t key, uint8_t asc, uint8_t ascq, const uint8_t *ata)
{
    uint8_t sense[8 + 14] = {0x72, key, asc, ascq};
    size_t length = 8;
    if (ata) {
        sense[7] = 14;
        sense[8] = ATA_RETURN_DESCRIPTOR;
        sense[9] = 12;
        sense[11] = ata[0]; // error
        sense[21] = ata[1]; // status
        length += 14;
    }
    h->sb_len_wr = static_cast<unsigned char>(length < h->mx_sb_len ? length : h->mx_sb_len);
    memcpy(h->sbp, sense, h->sb_len_wr);
    h->status = STATUS_CHECK_CONDITION;
    h->driver_status = DRIVER_SENSE;
}

static int fake_sg_io(standin_disk *disk, int fd, sg_io_hdr_t *h)
{
    const uint8_t *cdb = h->cmdp;
    h->status = STATUS_GOOD;
    h->host_status = 0;
    h->driver_status = 0;
    h->sb_len_wr = 0;
    h->resid = 0;
    int smart_read = h->cmd_len == 16 && cdb[0] == ATA_PASS_THROUGH_16 &&
                     (cdb[1] >> 1 & 0x0f) == PROTOCOL_PIO_IN && cdb[4] == 0xD0 &&
                     cdb[10] == 0x4F && cdb[12] == 0xC2 && cdb[14] == 0xB0 &&
                     h->dxfer_direction == SG_DXFER_FROM_DEV && h->dxfer_len == BLOCK;
    if (!smart_read) {
        answer_sense(h, KEY_ILLEGAL_REQUEST, 0x24, 0, nullptr);
        return 0;
    }
    disk->commands++;
    if (disk->error) {
        const uint8_t ata[2] = {disk->error, 0x51};
        answer_sense(h, KEY_ABORTED, 0, 0, ata);
        return 0;
    }
    uint8_t *data = static_cast<uint8_t *>(h->dxferp);
    memset(data, 0, BLOCK);
    if (pread(fd, data, BLOCK, 0) < 0)
        return -1;
    if (cdb[2] & CK_COND) {
        const uint8_t ata[2] = {0, 0x50};
        answer_sense(h, KEY_RECOVERED, 0, 0x1D, ata);
    }
    return 0;
}

static int sg_request(int fd, unsigned long request, void *argument)
{
    standin_disk *disk = disk_of(fd);
    if (disk == nullptr)
        return ioctl(fd, request, argument);
    if (request == SG_IO)
        return fake_sg_io(disk, fd, static_cast<sg_io_hdr_t *>(argument));
    if (request == SG_GET_VERSION_NUM && disk->cam) {
        *static_cast<int *>(argument) = 30527;
        return 0;
    }
    return standin_fail(ENOTTY);
}

// --- ATA PASS-THROUGH (16)

// The ATA registers of the sense data, descriptor or fixed format.
static int sense_registers(const uint8_t *sense, int length, ata_res *res)
{
    if (length >= 8 && (sense[0] & 0x7f) >= 0x72) {
        int end = 8 + sense[7] < length ? 8 + sense[7] : length;
        for (int i = 8; i + 14 <= end; i += 2 + sense[i + 1]) {
            const uint8_t *d = sense + i;
            if (d[0] != ATA_RETURN_DESCRIPTOR)
                continue;
            res->error = d[3];
            res->sector_count_exp = d[4];
            res->sector_count = d[5];
            res->lba_low_exp = d[6];
            res->lba_low = d[7];
            res->lba_mid_exp = d[8];
            res->lba_mid = d[9];
            res->lba_high_exp = d[10];
            res->lba_high = d[11];
            res->device = d[12];
            res->status = d[13];
            return 1;
        }
        return 0;
    }
    // Fixed format: the registers stand in the information fields, marked
    // valid or by "ATA pass through information available".
    int marked = (sense[0] & 0x80) || (length >= 14 && sense[12] == 0 && sense[13] == 0x1D);
    if (length >= 12 && marked && (sense[2] & 0x0f) != KEY_ILLEGAL_REQUEST) {
        res->error = sense[3];
        res->status = sense[4];
        res->device = sense[5];
        res->sector_count = sense[6];
        res->lba_low = sense[9];
        res->lba_mid = sense[10];
        res->lba_high = sense[11];
        return 1;
    }
    return 0;
}

static outcome judge(const sg_io_hdr_t &h, const uint8_t *sense, ata_res *res)
{
    int driver = h.driver_status & 0x0f;
    if (h.host_status == HOST_TIME_OUT || driver == DRIVER_TIMEOUT)
        return TIMED_OUT;
    if (h.host_status != 0 || (driver != 0 && driver != DRIVER_SENSE))
        return FAILED;
    if (h.status == STATUS_GOOD)
        return DONE;
    if (h.status != STATUS_CHECK_CONDITION)
        return FAILED;
    if (sense_registers(sense, h.sb_len_wr, res))
        return (res->status & ATA_STATUS_ERR) || res->error ? ATA_ERROR : DONE;
    int key = h.sb_len_wr >= 3 ? ((sense[0] & 0x7f) >= 0x72 ? sense[1] : sense[2]) & 0x0f : -1;
    if (key == KEY_NO_SENSE || key == KEY_RECOVERED)
        return DONE;
    return key == KEY_ILLEGAL_REQUEST ? REFUSED : FAILED;
}

// One ATA command that reads length bytes (0: none). The outcome, or -1
// with errno when the disk takes no SCSI generic request at all.
static int pass_through(int fd, const ata_cmd &cmd, uint8_t *data, uint32_t length,
                        uint32_t timeout, ata_res *res)
{
    int extend = (cmd.flags & CAM_ATAIO_48BIT) || cmd.lba_low_exp || cmd.lba_mid_exp ||
                 cmd.lba_high_exp || cmd.features_exp || cmd.sector_count_exp;
    uint8_t cdb[16] = {ATA_PASS_THROUGH_16};
    cdb[1] = static_cast<uint8_t>((length ? PROTOCOL_PIO_IN : PROTOCOL_NON_DATA) << 1 | extend);
    cdb[2] = static_cast<uint8_t>((cmd.flags & CAM_ATAIO_NEEDRESULT ? CK_COND : 0) |
                                  (length ? T_DIR_IN | BYT_BLOK | T_LENGTH_COUNT : 0));
    const uint8_t registers[13] = {
        cmd.features_exp, cmd.features, cmd.sector_count_exp, cmd.sector_count,
        cmd.lba_low_exp,  cmd.lba_low,  cmd.lba_mid_exp,      cmd.lba_mid,
        cmd.lba_high_exp, cmd.lba_high, cmd.device,           cmd.command,
        cmd.control,
    };
    memcpy(cdb + 3, registers, sizeof(registers)); // bytes 3 to 15, in CDB order

    uint8_t sense[SENSE_SIZE] = {};
    sg_io_hdr_t h;
    memset(&h, 0, sizeof(h));
    h.interface_id = 'S';
    h.dxfer_direction = length ? SG_DXFER_FROM_DEV : SG_DXFER_NONE;
    h.cmd_len = sizeof(cdb);
    h.mx_sb_len = sizeof(sense);
    h.dxfer_len = length;
    h.dxferp = data;
    h.cmdp = cdb;
    h.sbp = sense;
    h.timeout = timeout;
    if (sg_request(fd, SG_IO, &h) != 0)
        return -1;
    memset(res, 0, sizeof(*res));
    return judge(h, sense, res);
}

// --- CAM

extern "C" struct cam_device *cam_open_device(const char *path, int flags)
{
    unique_fd node(open(path, flags | O_CLOEXEC));
    if (node.fd < 0)
        return nullptr;
    // Only what the SCSI generic layer serves can carry an ATA command.
    int version;
    if (sg_request(node.fd, SG_GET_VERSION_NUM, &version) != 0)
        return nullptr;
    cam_device *device = xnew_record<cam_device>();
    snprintf(device->device_path, sizeof(device->device_path), "%s", path);
    device->fd = node.release();
    return device;
}

extern "C" void cam_close_device(struct cam_device *dev)
{
    if (dev == nullptr)
        return;
    close(dev->fd);
    xfree(dev);
}

extern "C" int cam_send_ccb(struct cam_device *device, union ccb *ccb)
{
    // As FreeBSD's kernel does: the whole union in, the whole union out.
    union ccb work;
    memcpy(&work, ccb, sizeof(work));
    ccb_ataio *io = &work.ataio;
    uint32_t direction = io->ccb_h.flags & CAM_DIR_MASK;
    device->error = 0;
    if (io->ccb_h.func_code != XPT_ATA_IO || (direction != CAM_DIR_IN && direction != CAM_DIR_NONE) ||
        (direction == CAM_DIR_IN && (io->dxfer_len == 0 || io->dxfer_len % BLOCK != 0))) {
        io->ccb_h.status = CAM_REQ_INVALID;
    } else {
        uint32_t length = direction == CAM_DIR_IN ? io->dxfer_len : 0;
        int result = pass_through(device->fd, io->cmd, io->data_ptr, length, io->ccb_h.timeout,
                                  &io->res);
        if (result < 0) {
            device->error = errno;
            return -1;
        }
        io->ccb_h.status = outcomes[result].status;
        io->resid = 0;
    }
    memcpy(ccb, &work, sizeof(work));
    return 0;
}

static void append(char *str, int size, int *used, const char *format, ...)
    __attribute__((format(printf, 4, 5)));

static void append(char *str, int size, int *used, const char *format, ...)
{
    if (*used >= size - 1)
        return;
    va_list ap;
    va_start(ap, format);
    int n = vsnprintf(str + *used, static_cast<size_t>(size - *used), format, ap);
    va_end(ap);
    if (n > 0)
        *used = *used + n < size - 1 ? *used + n : size - 1;
}

// One line (FreeBSD gives several): the command, the CAM status or the
// failure of the pass-through itself, the ATA status and error registers.
extern "C" char *cam_error_string(struct cam_device *device, union ccb *ccb, char *str,
                                  int str_len, cam_error_string_flags flags,
                                  cam_error_proto_flags)
{
    if (str == nullptr || str_len <= 0)
        return str;
    str[0] = '\0';
    int used = 0;
    const ccb_ataio &io = ccb->ataio;
    const ata_cmd &c = io.cmd;
    if (flags & CAM_ESF_COMMAND)
        append(str, str_len, &used,
               "ACB: %02x %02x %02x %02x %02x %02x %02x %02x %02x %02x %02x %02x; ", c.command,
               c.features, c.lba_low, c.lba_mid, c.lba_high, c.device, c.lba_low_exp,
               c.lba_mid_exp, c.lba_high_exp, c.features_exp, c.sector_count,
               c.sector_count_exp);
    cam_status status = static_cast<cam_status>(io.ccb_h.status & CAM_STATUS_MASK);
    if (device && device->error) {
        append(str, str_len, &used, "pass-through: %s", strerror(device->error));
    } else if (flags & CAM_ESF_CAM_STATUS) {
        const char *text = "Unknown CAM status";
        for (const outcome_row &row : outcomes)
            if (row.status == status)
                text = row.text;
        append(str, str_len, &used, "CAM status: %s", text);
    }
    if ((flags & CAM_ESF_PROTO_STATUS) && status == CAM_ATA_STATUS_ERROR)
        append(str, str_len, &used, "; ATA status: %02x, error: %02x", io.res.status,
               io.res.error);
    return str;
}

// --- The ATA driver's request

int standin_ata_ioctl(int fd, unsigned long, void *argument)
{
    ata_ioc_request *request = static_cast<ata_ioc_request *>(argument);
    // Only commands that read, or move no data; this stand-in never writes.
    if (request->flags & ~ATA_CMD_READ)
        return standin_fail(EINVAL);
    uint32_t length = request->flags & ATA_CMD_READ ? static_cast<uint32_t>(request->count) : 0;
    if ((request->flags & ATA_CMD_READ) && (request->count <= 0 || request->count % BLOCK != 0))
        return standin_fail(EINVAL);
    ata_cmd cmd;
    memset(&cmd, 0, sizeof(cmd));
    cmd.command = request->u.ata.command;
    cmd.features = request->u.ata.feature;
    cmd.lba_low = static_cast<uint8_t>(request->u.ata.lba);
    cmd.lba_mid = static_cast<uint8_t>(request->u.ata.lba >> 8);
    cmd.lba_high = static_cast<uint8_t>(request->u.ata.lba >> 16);
    cmd.lba_low_exp = static_cast<uint8_t>(request->u.ata.lba >> 24);
    cmd.lba_mid_exp = static_cast<uint8_t>(request->u.ata.lba >> 32);
    cmd.lba_high_exp = static_cast<uint8_t>(request->u.ata.lba >> 40);
    // FreeBSD's driver takes the transfer length from count; over SCSI it
    // must stand in the sector count register.
    uint16_t sectors = request->u.ata.count ? request->u.ata.count
                                            : static_cast<uint16_t>(length / BLOCK);
    cmd.sector_count = static_cast<uint8_t>(sectors);
    cmd.sector_count_exp = static_cast<uint8_t>(sectors >> 8);
    ata_res res;
    int result = pass_through(fd, cmd, reinterpret_cast<uint8_t *>(request->data), length,
                              static_cast<uint32_t>(request->timeout), &res);
    if (result < 0)
        return -1;
    request->error = outcomes[result].error;
    return 0;
}
