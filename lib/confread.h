// Pieces both configuration readers share: a stream item (a stream
// keyword with an optional "(argument)") and a host word resolved to
// its numeric address.
#pragma once

#include "lexer.h"

enum { ITEM_TEXT = 2048 };

struct stream_item {
    int type;
    char keyword[ITEM_TEXT];  // as written, for messages
    char argument[ITEM_TEXT]; // "" when none was given
};

// Reads a stream item starting at the current token; a token that is no
// stream keyword is reported as expected keywords. 1 on success.
int read_stream_item(lexer *lx, const char *keywords, stream_item *item);

// The port after a host: "port" or "," then a number, or the number
// alone; otherwise the token is pushed back and the port is "2100". An
// allocated copy.
char *read_port(lexer *lx);

// Resolves the current token as IPv4, else IPv6, leaving the numeric text
// in numeric_host; warns and gives 0 when neither works.
int resolve_host_token(const lexer *lx);
