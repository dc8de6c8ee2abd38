// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// Stream types and value formats: the lookups over the catalogue's value
// formats and stream types (formats, names, keyword tokens; data sources
// and graphs are catalogue.h's). Type numbers travel in every packet, so
// they and their format strings never change.
#pragma once

#include "catalogue.h"

int stream_type_from_token(int token);
const char *stream_type_name(int type);
const char *stream_type_format(int type);
int stream_type_text_width(int type);
// Sum of the byte widths of the type's format: the value bytes of a record.
int stream_type_byte_width(int type);
// 1 when the token is one of the stream keywords.
int token_is_stream_type(int token);
// The type a monitor's probe actually packs for a configured type: io1,
// mem1 and if1 travel in the wide io, mem and if layouts.
int stream_send_type(int type);

// The row of a format character; a character without one is fatal.
const value_format *value_format_row(char id);
int value_byte_width(char id);
int value_text_width(char id);
const char *value_field_format(char id);
