// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
/* Link-only stand-in for FreeBSD's textproc/libyaml in the cross-build's root:
   the functions colvo-export calls, by name, with no behaviour. The
   programs link against it; they are not run from there. */
void yaml_parser_initialize(void) {}
void yaml_parser_set_input_file(void) {}
void yaml_parser_load(void) {}
void yaml_parser_delete(void) {}
void yaml_document_get_node(void) {}
void yaml_document_get_root_node(void) {}
void yaml_document_delete(void) {}
