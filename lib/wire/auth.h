// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// The packet authenticator: 33 bytes after the records of a signed packet
// (kind, boot identifier, sequence number, MAC), its codec, and the keys
// that make and check the MAC, an HMAC-SHA-256 cut to 16 bytes, computed
// by libcrypto. The header's length still ends the records and the CRC
// still covers the whole datagram, so a receiver without a key reads a
// signed packet as any other.
#pragma once

#include <cstdint>

enum {
    AUTH_SIZE = 33,
    AUTH_KIND_HMAC_SHA256_128 = 1,
    // Offsets from the end of the records.
    AUTH_KIND = 0,
    AUTH_BOOT = 1,
    AUTH_SEQUENCE = 9,
    AUTH_MAC = 17,
    AUTH_BOOT_SIZE = 8,
    AUTH_MAC_SIZE = 16,
    KEY_SIZE = 32,
};
static_assert(AUTH_BOOT + AUTH_BOOT_SIZE == AUTH_SEQUENCE && AUTH_SEQUENCE + 8 == AUTH_MAC &&
                  AUTH_MAC + AUTH_MAC_SIZE == AUTH_SIZE,
              "authenticator fields back to back");

// A key ready to sign: the library's HMAC set up once, copied per packet.
struct auth_key;

struct authenticator {
    uint8_t kind;
    uint8_t boot[AUTH_BOOT_SIZE];
    uint64_t sequence;
};

// Loads what the MAC needs, once, so that nothing is read from the file
// system later (inside a chroot, or after the change of user). The first
// key does it; a daemon without keys never loads the library's tables.
void auth_init();
// Fatal only when the library cannot allocate.
auth_key *auth_key_new(const uint8_t key[KEY_SIZE]);
void auth_key_free(auth_key *k);

// Writes the authenticator at packet + length (AUTH_SIZE bytes of room),
// its MAC over the header, the records and the authenticator's first 17
// bytes, with the header's CRC bytes zero.
void auth_sign(const auth_key *k, uint8_t *packet, int length, const authenticator *a);

// A mark of the key, the MAC of a fixed text: two keys are the same when
// their marks are, and the mark tells nothing of the key.
void auth_key_id(const auth_key *k, uint8_t id[AUTH_MAC_SIZE]);

enum auth_result { AUTH_OK = 0, AUTH_MISSING = 1, AUTH_MALFORMED = 2, AUTH_BAD_MAC = 3 };

// Checks the datagram of received bytes whose header gives length, read
// with its CRC bytes zero: no bytes after the records is AUTH_MISSING,
// other than AUTH_SIZE of them or an unknown kind AUTH_MALFORMED. The
// fields are filled only for AUTH_OK.
int auth_verify(const auth_key *k, const uint8_t *packet, int length, int received,
                authenticator *a);

// A keyed source's configuration: its key and where it was read. What
// the receiver learns from the source's packets is kept apart.
struct auth_config {
    auth_key *key;
    uint8_t key_id[AUTH_MAC_SIZE]; // auth_key_id's
    char *key_file;                // where the key was read
};

// The configuration of a source with the key read from key_file (copied).
auth_config *auth_config_new(auth_key *key, const char *key_file = "");
// Frees the configuration and its key.
void auth_config_free(auth_config *c);
