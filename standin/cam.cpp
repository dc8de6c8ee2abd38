// CAM pass-through and the ATA request ioctl (being built).
#include <cerrno>

#include "internal.h"

int standin_ata_ioctl(int, unsigned long, void *) { return standin_fail(ENOTTY); }
