// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
/* Link-only stand-in for FreeBSD's base libcrypto (OpenSSL 1.1.1 on 13,
   3.0 on 14), whose headers a FreeBSD root may have without the library:
   the functions the programs call, by name, with no behaviour. Built by
   scripts/freebsd.sh with the base system's soname (libcrypto.so.111 or
   .30), so the programs link as against the real one; they are not run
   against it. EVP_DigestSignUpdate is a function in 3.0, a macro in 1.1.1. */
void CRYPTO_memcmp(void) {}
void EVP_DigestSignFinal(void) {}
void EVP_DigestSignInit(void) {}
void EVP_DigestSignUpdate(void) {}
void EVP_DigestUpdate(void) {}
void EVP_MD_CTX_copy_ex(void) {}
void EVP_MD_CTX_free(void) {}
void EVP_MD_CTX_new(void) {}
void EVP_PKEY_free(void) {}
void EVP_PKEY_new_raw_private_key(void) {}
void EVP_sha256(void) {}
void OPENSSL_cleanse(void) {}
void OPENSSL_init_crypto(void) {}
