// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
/* Link-only stand-in for FreeBSD's ftp/curl in the cross-build's root:
   the functions colvo-export calls, by name, with no behaviour. The
   programs link against it; they are not run from there. */
void curl_global_init(void) {}
void curl_global_cleanup(void) {}
void curl_easy_init(void) {}
void curl_easy_setopt(void) {}
void curl_easy_perform(void) {}
void curl_easy_getinfo(void) {}
void curl_easy_cleanup(void) {}
void curl_easy_strerror(void) {}
void curl_slist_append(void) {}
void curl_slist_free_all(void) {}
