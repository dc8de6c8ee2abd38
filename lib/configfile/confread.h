// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// Pieces both configuration readers share: a stream item (a stream
// keyword with an optional "(argument)") and a host word resolved to
// its numeric address.
#pragma once

#include "catalogue.h"
#include "lexer.h"
#include "pattern.h"

enum { ITEM_TEXT = 2048 };

namespace catalogue {

// Room for every name with its separator, one repeated name, the braces
// and the terminator.
constexpr int keyword_list_size()
{
    int size = 3, longest = 0;
    for (const stream_row &r : ROWS)
        if (r.keyword) {
            size += length(r.keyword) + 1;
            longest = length(r.keyword) > longest ? length(r.keyword) : longest;
        }
    return size + longest + 1;
}

} // namespace catalogue

struct keyword_list {
    char text[catalogue::keyword_list_size()];
};

// The stream keywords as the readers' "expected" messages name them,
// "{cpu|cpuiow|...}", in the catalogue's listed order; with repeat, that
// type's name comes once more right after the name of after.
constexpr keyword_list stream_keyword_list(int repeat = -1, int after = -1)
{
    keyword_list list = {};
    int n = 0;
    list.text[n++] = '{';
    for (int place = 0; place < catalogue::named_count(); place++)
        for (const stream_row &r : catalogue::ROWS) {
            if (r.keyword == nullptr || r.listed != place)
                continue;
            for (int again = 0; again < 1 + (r.type == after); again++) {
                if (n > 1)
                    list.text[n++] = '|';
                for (const char *c = again ? catalogue::ROWS[repeat].keyword : r.keyword; *c; c++)
                    list.text[n++] = *c;
            }
        }
    list.text[n++] = '}';
    return list;
}

struct stream_item {
    int type;
    char keyword[ITEM_TEXT];  // as written, for messages
    char argument[ITEM_TEXT]; // "" when none was given
    stream_pattern *pattern;  // TYPE(* ...): the caller's to keep or free; else null
};

// Whether TYPE(*) is a pattern of the type; where not, "*" is an argument
// as any other, as it always was.
typedef int patterned_type(int type);

// Reads a stream item starting at the current token; a token that is no
// stream keyword is reported as expected keywords. An unquoted * as the
// argument of a patterned type starts a pattern, which "!NAME" words (or
// "!" and a quoted name) after it narrow. 1 on success.
int read_stream_item(lexer *lx, const char *keywords, stream_item *item,
                     patterned_type *patterned = nullptr);

// The first token of the next statement, included files read in place of
// their include statements: 1, 0 at the end of all input, -1 when an
// include fails (told).
int next_statement(lexer *lx);

// The port after a host: "port" or "," then a number, or the number
// alone; otherwise the token is pushed back and the port is "2100". An
// allocated copy.
char *read_port(lexer *lx);

struct resolved_host;
// Resolves the current token as IPv4, else IPv6, into out; warns and
// gives 0 when neither works.
int resolve_host_token(const lexer *lx, resolved_host *out);

struct mux_list;
// The start of every reload: read fills fresh from path (context is the
// reader's) with the file's limits no longer fatal, as a running daemon
// goes on; when it fails, nothing of it is kept and the running
// configuration stays, as the message says. 1 with fresh filled.
int reread_config(mux_list *fresh, const char *path,
                  int (*read)(mux_list *fresh, const char *path, const void *context),
                  const void *context);
