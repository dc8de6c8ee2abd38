// Stand-in for FreeBSD's <net/pfvar.h>: the packet filter's version-0 ALTQ
// requests (what the header gives without PFIOC_USE_LATEST).
#pragma once

#define DIOCGETALTQS 0xC100442FUL
#define DIOCGETALTQ 0xC1004430UL
#define DIOCGETQSTATS 0xC0184432UL
