// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
/* Link-only stand-in for FreeBSD's devel/protobuf-c in the cross-build's root:
   the functions colvo-export calls, by name, with no behaviour. The
   programs link against it; they are not run from there. */
void protobuf_c_message_get_packed_size(void) {}
void protobuf_c_message_pack(void) {}
void protobuf_c_message_pack_to_buffer(void) {}
void protobuf_c_message_unpack(void) {}
void protobuf_c_message_free_unpacked(void) {}
const char protobuf_c_empty_string[1];
