// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// The monitor's configuration: monitor statements, each naming a set of
// streams and one destination mux with its interval.
#include <cstdio>
#include <cstring>
#include <sys/socket.h>

#include "confread.h"
#include "error.h"
#include "keyfile.h"
#include "lexer.h"
#include "net.h"
#include "probo.h"
#include "types.h"
#include "xmalloc.h"

enum { NAME_BUFFER = ITEM_TEXT, DEFAULT_INTERVAL = 5, SHORT_INTERVAL = 4 };

// The monitor's message has always named load twice, once where it sorts
// among the first, alphabetical names.
static constexpr keyword_list STREAM_KEYWORDS = stream_keyword_list(STREAM_LOAD, STREAM_IO1);

static int read_stream(lexer *lx, mux *m)
{
    stream_item item;
    if (!read_stream_item(lx, STREAM_KEYWORDS.text, &item))
        return 0;
    if (strlen(item.argument) > PACKET_MAX_ARGUMENT)
        warning("%.200s:%d: argument '%.200s' too long for network format, will send leading 63 "
                "chars only",
                lx->filename, lx->line, item.argument);
    if (mux_add_stream(m, item.type, item.argument) == nullptr) {
        warning("%.200s:%d: stream %.200s(%.200s) redefined", lx->filename, lx->line,
                item.keyword, item.argument);
        return 0;
    }
    return 1;
}

static int read_stream_list(lexer *lx, mux *m)
{
    if (!lexer_expect(lx, TOK_LBRACE, keyword_name(TOK_LBRACE)))
        return 0;
    if (!lexer_next(lx))
        return 1;
    for (;;) {
        if (lx->code == TOK_RBRACE)
            return 1;
        if (lx->code != TOK_COMMA && !read_stream(lx, m))
            return 0;
        if (!lexer_next(lx))
            return 1;
    }
}

// An optional key "PATH" after the host and port: the mux's packets are
// signed with it.
static int read_key(lexer *lx, mux *m)
{
    lexer_next(lx);
    if (lx->code != TOK_KEY) {
        lexer_unget(lx);
        return 1;
    }
    if (!lexer_next(lx)) {
        lexer_expected(lx, "<key file>");
        return 0;
    }
    m->key = load_key_file(lx->token, lx->filename, lx->line);
    return m->key != nullptr;
}

static int read_mux_address(lexer *lx, mux_list *list, mux *m)
{
    // The host may be the file's last word, pushed back: use it regardless.
    lexer_next(lx);
    if (!resolve_host_token(lx))
        return 0;
    m->address = xstrdup(numeric_host);

    m->port = read_port(lx);
    char name[NAME_BUFFER];
    snprintf(name, sizeof(name), "%s %s (%ds)", m->address, m->port, m->interval);
    if (mux_list_rename(list, m, name) == nullptr) {
        warning("%.200s:%d: monitored data for host '%.200s' has already been specified",
                lx->filename, lx->line, name);
        return 0;
    }
    return read_key(lx, m);
}

static int read_monitor(lexer *lx, mux_list *list)
{
    mux *m = mux_list_add(list, "<unknown mux>");
    if (!read_stream_list(lx, m))
        return 0;

    m->interval = DEFAULT_INTERVAL;
    lexer_next(lx);
    if (lx->code == TOK_EVERY) {
        lexer_next(lx);
        if (lx->code == TOK_SECOND) {
            m->interval = 1;
        } else if (lx->kind == KIND_NUMBER) {
            m->interval = static_cast<int>(lx->value);
            lexer_next(lx);
            if (lx->code != TOK_SECONDS)
                lexer_expected(lx, "seconds");
        } else {
            lexer_expected(lx, "<number> ");
            return 0;
        }
        lexer_next(lx);
    }
    if (lx->code != TOK_STREAM) {
        lexer_expected(lx, "stream");
        return 0;
    }
    lexer_next(lx);
    if (lx->code == TOK_FROM) {
        lexer_next(lx);
        if (!resolve_host_token(lx))
            return 0;
        m->from_address = xstrdup(lx->token);
        lexer_next(lx);
    }
    if (lx->code != TOK_TO)
        lexer_unget(lx);
    return read_mux_address(lx, list, m);
}

int read_config(mux_list *list, const char *path)
{
    lexer *lx = lexer_open(path);
    if (lx == nullptr)
        return 0;
    while (lexer_next(lx)) {
        if (lx->code != TOK_MONITOR) {
            lexer_expected(lx, "monitor");
            lexer_close(lx);
            return 0;
        }
        if (!read_monitor(lx, list)) {
            lexer_close(lx);
            return 0;
        }
    }
    if (lx->failed) {
        lexer_close(lx);
        return 0;
    }
    for (const mux *m = list->first; m; m = m->next) {
        if (strcmp(m->name, "<unknown mux>") == 0) {
            lexer_close(lx);
            return 0;
        }
        if (m->streams.first == nullptr) {
            warning("%.200s: no monitors selected for mux '%.200s'", path, m->name);
            lexer_close(lx);
            return 0;
        }
        if (m->interval <= SHORT_INTERVAL)
            warning("%.200s: monitoring set to every %d s", path, m->interval);
    }
    lexer_close(lx);
    return 1;
}
