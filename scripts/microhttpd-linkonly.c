// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
/* Link-only stand-in for FreeBSD's www/libmicrohttpd in the cross-build's
   root: the functions colvo-export calls, by name, with no behaviour. The
   programs link against it; they are not run from there. */
void MHD_start_daemon(void) {}
void MHD_stop_daemon(void) {}
void MHD_add_connection(void) {}
void MHD_lookup_connection_value(void) {}
void MHD_is_feature_supported(void) {}
void MHD_basic_auth_get_username_password(void) {}
void MHD_queue_basic_auth_fail_response(void) {}
void MHD_free(void) {}
void MHD_create_response_from_buffer(void) {}
void MHD_add_response_header(void) {}
void MHD_queue_response(void) {}
void MHD_destroy_response(void) {}
