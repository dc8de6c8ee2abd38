// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// The monitor's configuration: monitor statements, each naming a set of
// streams and one destination mux with its interval; include statements
// that read other files in their place; and how often the host is looked
// at anew for what the patterns stand for.
#include <cstdio>
#include <cstring>
#include <sys/socket.h>

#include "confread.h"
#include "error.h"
#include "keyfile.h"
#include "lexer.h"
#include "net.h"
#include "probe.h"
#include "probo.h"
#include "types.h"
#include "xmalloc.h"

enum { NAME_BUFFER = ITEM_TEXT, DEFAULT_INTERVAL = 5, SHORT_INTERVAL = 4 };

// The monitor's message has always named load twice, once where it sorts
// among the first, alphabetical names.
static constexpr keyword_list STREAM_KEYWORDS = stream_keyword_list(STREAM_LOAD, STREAM_IO1);

// TYPE(*) stands for what the host has where the probe can list it.
static int discoverable(int type)
{
    return probe_table[type].discover != nullptr;
}

static int read_stream(lexer *lx, mux *m)
{
    stream_item item;
    if (!read_stream_item(lx, STREAM_KEYWORDS.text, &item, discoverable))
        return 0;
    if (item.pattern) {
        if (pattern_list_add(&m->patterns, item.pattern))
            return 1;
        pattern_free(item.pattern);
        warning("%.200s:%d: stream %.200s(*) redefined", lx->filename, lx->line, item.keyword);
        return 0;
    }
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

static int has_type(const mux *m, int type)
{
    for (const stream *s = m->streams.first; s; s = s->next)
        if (s->type == type)
            return 1;
    return pattern_list_of_type(&m->patterns, type) != nullptr;
}

// all: every type the table lets all take, found or without argument;
// a type the braces name is as they name it.
static void take_all(mux *m)
{
    for (const probe_entry &e : probe_table) {
        if (!e.in_all || has_type(m, e.type))
            continue;
        if (e.discover)
            pattern_list_add(&m->patterns, pattern_new(e.type));
        else
            mux_add_stream(m, e.type, "");
    }
}

static int read_stream_list(lexer *lx, mux *m)
{
    if (!lexer_expect(lx, TOK_LBRACE, keyword_name(TOK_LBRACE)))
        return 0;
    int all = 0;
    int ok = 1;
    if (lexer_next(lx))
        for (;;) {
            if (lx->code == TOK_RBRACE)
                break;
            if (lx->code == TOK_ALL)
                all = 1;
            else if (lx->code != TOK_COMMA && !read_stream(lx, m)) {
                ok = 0;
                break;
            }
            if (!lexer_next(lx))
                break;
        }
    if (ok && all)
        take_all(m);
    return ok;
}

static int read_every(lexer *lx, int *seconds)
{
    lexer_next(lx);
    if (lx->code == TOK_SECOND) {
        *seconds = 1;
    } else if (lx->kind == KIND_NUMBER) {
        *seconds = static_cast<int>(lx->value);
        lexer_next(lx);
        if (lx->code != TOK_SECONDS)
            lexer_expected(lx, "seconds");
    } else {
        lexer_expected(lx, "<number> ");
        return 0;
    }
    return 1;
}

// discover every N seconds: how often the host is looked at anew.
static int read_discover(lexer *lx, int *period)
{
    if (!lexer_expect(lx, TOK_EVERY, "every") || !read_every(lx, period))
        return 0;
    if (*period < 1) {
        warning("%.200s:%d: discover every %d seconds: at least every second", lx->filename,
                lx->line, *period);
        return 0;
    }
    return 1;
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
    resolved_host host;
    if (!resolve_host_token(lx, &host))
        return 0;
    m->address = xstrdup(host.host);

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
        if (!read_every(lx, &m->interval))
            return 0;
        lexer_next(lx);
    }
    if (lx->code != TOK_STREAM) {
        lexer_expected(lx, "stream");
        return 0;
    }
    lexer_next(lx);
    if (lx->code == TOK_FROM) {
        lexer_next(lx);
        resolved_host host;
        if (!resolve_host_token(lx, &host))
            return 0;
        m->from_address = xstrdup(lx->token);
        lexer_next(lx);
    }
    if (lx->code != TOK_TO)
        lexer_unget(lx);
    return read_mux_address(lx, list, m);
}

int read_config(mux_list *list, const char *path, int *discover_period)
{
    lexer *lx = lexer_open(path);
    if (lx == nullptr)
        return 0;
    int period = DISCOVER_PERIOD;
    for (int next; (next = next_statement(lx)) != 0;) {
        int ok = 0;
        if (next < 0)
            ok = 0;
        else if (lx->code == TOK_DISCOVER)
            ok = read_discover(lx, &period);
        else if (lx->code == TOK_MONITOR)
            ok = read_monitor(lx, list);
        else
            lexer_expected(lx, "monitor");
        if (!ok) {
            lexer_close(lx);
            return 0;
        }
    }
    if (discover_period)
        *discover_period = period;
    if (lx->failed) {
        lexer_close(lx);
        return 0;
    }
    for (const mux *m = list->first; m; m = m->next) {
        if (strcmp(m->name, "<unknown mux>") == 0) {
            lexer_close(lx);
            return 0;
        }
        if (m->streams.first == nullptr && m->patterns.first == nullptr) {
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
