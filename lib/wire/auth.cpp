// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// Signing and checking packet authenticators with libcrypto's HMAC: a key
// holds a digest context set up once, copied for each packet (cheaper than
// setting up the key again), and MACs are compared in constant time.
#include "auth.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include "codec.h"
#include "error.h"
#include "xmalloc.h"

enum { HMAC_SHA256_SIZE = 32 };

struct auth_key {
    EVP_PKEY *pkey;
    EVP_MD_CTX *prepared; // signing set up with pkey, never finished
    EVP_MD_CTX *work;     // a copy of prepared for each packet
};

[[noreturn]] static void library_failure(const char *what)
{
    fatal("cannot %s: the crypto library failed (out of memory?)", what);
}

auth_key *auth_key_new(const uint8_t key[KEY_SIZE])
{
    auth_init();
    auth_key *k = xnew_record<auth_key>();
    k->pkey = EVP_PKEY_new_raw_private_key(EVP_PKEY_HMAC, nullptr, key, KEY_SIZE);
    k->prepared = EVP_MD_CTX_new();
    k->work = EVP_MD_CTX_new();
    if (k->pkey == nullptr || k->prepared == nullptr || k->work == nullptr ||
        EVP_DigestSignInit(k->prepared, nullptr, EVP_sha256(), nullptr, k->pkey) != 1)
        library_failure("set up a key");
    return k;
}

void auth_key_free(auth_key *k)
{
    if (k == nullptr)
        return;
    // The library clears the key bytes it holds when it frees them.
    EVP_MD_CTX_free(k->work);
    EVP_MD_CTX_free(k->prepared);
    EVP_PKEY_free(k->pkey);
    xfree(k);
}

auth_config *auth_config_new(auth_key *key, const char *key_file)
{
    auth_config *c = xnew_record<auth_config>();
    c->key = key;
    c->key_file = xstrdup(key_file);
    auth_key_id(key, c->key_id);
    return c;
}

void auth_config_free(auth_config *c)
{
    if (c == nullptr)
        return;
    auth_key_free(c->key);
    xfree(c->key_file);
    xfree(c);
}

void auth_init()
{
    static int done;
    if (done)
        return;
    done = 1;
    // No configuration file: nothing in it concerns an HMAC, and it could
    // not be read once the daemon has left the file system.
    OPENSSL_init_crypto(OPENSSL_INIT_NO_LOAD_CONFIG, nullptr);
    // One MAC now fetches and loads everything the later ones use.
    uint8_t key[KEY_SIZE] = {}, packet[AUTH_SIZE] = {};
    auth_key *k = auth_key_new(key);
    authenticator a = {AUTH_KIND_HMAC_SHA256_128, {}, 0};
    auth_sign(k, packet, 0, &a);
    auth_key_free(k);
}

static void compute_mac(const auth_key *k, const uint8_t *bytes, int count,
                        uint8_t mac[HMAC_SHA256_SIZE])
{
    size_t size = HMAC_SHA256_SIZE;
    if (EVP_MD_CTX_copy_ex(k->work, k->prepared) != 1 ||
        EVP_DigestSignUpdate(k->work, bytes, static_cast<size_t>(count)) != 1 ||
        EVP_DigestSignFinal(k->work, mac, &size) != 1 || size != HMAC_SHA256_SIZE)
        library_failure("compute a packet's mac");
}

void auth_key_id(const auth_key *k, uint8_t id[AUTH_MAC_SIZE])
{
    static const char TEXT[] = "key id";
    uint8_t mac[HMAC_SHA256_SIZE];
    compute_mac(k, reinterpret_cast<const uint8_t *>(TEXT), sizeof(TEXT) - 1, mac);
    for (int i = 0; i < AUTH_MAC_SIZE; i++)
        id[i] = mac[i];
}

void auth_sign(const auth_key *k, uint8_t *packet, int length, const authenticator *a)
{
    uint8_t *p = packet + length;
    p[AUTH_KIND] = a->kind;
    for (int i = 0; i < AUTH_BOOT_SIZE; i++)
        p[AUTH_BOOT + i] = a->boot[i];
    encode_fixed64(p + AUTH_SEQUENCE, a->sequence);
    uint8_t mac[HMAC_SHA256_SIZE];
    compute_mac(k, packet, length + AUTH_MAC, mac);
    for (int i = 0; i < AUTH_MAC_SIZE; i++)
        p[AUTH_MAC + i] = mac[i];
    OPENSSL_cleanse(mac, sizeof(mac));
}

int auth_verify(const auth_key *k, const uint8_t *packet, int length, int received,
                authenticator *a)
{
    if (received <= length)
        return AUTH_MISSING;
    const uint8_t *p = packet + length;
    if (received - length != AUTH_SIZE || p[AUTH_KIND] != AUTH_KIND_HMAC_SHA256_128)
        return AUTH_MALFORMED;
    uint8_t mac[HMAC_SHA256_SIZE];
    compute_mac(k, packet, length + AUTH_MAC, mac);
    if (CRYPTO_memcmp(mac, p + AUTH_MAC, AUTH_MAC_SIZE) != 0)
        return AUTH_BAD_MAC;
    a->kind = p[AUTH_KIND];
    for (int i = 0; i < AUTH_BOOT_SIZE; i++)
        a->boot[i] = p[AUTH_BOOT + i];
    a->sequence = decode_fixed64(p + AUTH_SEQUENCE);
    return AUTH_OK;
}
