// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// A fixture tree of the figures the sensor, zfs, pf and mbuf probes read,
// for the stand-in: sysfs temperatures and OpenZFS's arcstats as Linux has
// them, and FreeBSD's own records where Linux has nothing (pf's status as
// dev/pf, the allocator's statistics stream and sendfile's counters below
// sysctl/). Its figures are the known answers' (docs/freebsd-records.md).
#pragma once

#include <cstdint>
#include <string>

#include "temp_dir.h"

// pf's status record: running or not, 416 bytes.
std::string pf_status_record(bool running = true);
// vm.zone_stats with two CPUs: a zone no probe reads, then the six
// network buffer zones.
std::string zone_stats_stream();
std::string sfstat_record();
std::string arcstats_text();

// The whole tree: thermal zones tz0 (45 °C) and tz1 (-5.5 °C), a coretemp
// device with "Core 0" (52 °C), the arcstats, pf's status and the mbuf
// figures.
void write_kernel_fixtures(const temp_dir &tree);
