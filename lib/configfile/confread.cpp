// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
#include "confread.h"

#include <cstdio>
#include <cstring>
#include <sys/socket.h>

#include "error.h"
#include "lists.h"
#include "net.h"
#include "types.h"
#include "xmalloc.h"

// The exclusions of a pattern up to its ")".
static int read_exclusions(lexer *lx, stream_pattern *p)
{
    for (;;) {
        if (!lexer_next(lx)) {
            lexer_expected(lx, ")");
            return 0;
        }
        if (lx->code == TOK_RPAREN)
            return 1;
        if (lx->code == TOK_COMMA)
            continue;
        if (lx->quoted || lx->token[0] != '!') {
            lexer_expected(lx, "!<name>|)");
            return 0;
        }
        const char *glob = lx->token + 1;
        if (*glob == '\0') {
            // "!" and the name apart: the name may be quoted.
            if (!lexer_next(lx) || lx->code == TOK_RPAREN) {
                lexer_expected(lx, "<name>");
                return 0;
            }
            glob = lx->token;
        }
        pattern_exclude(p, glob);
    }
}

int read_stream_item(lexer *lx, const char *keywords, stream_item *item, patterned_type *patterned)
{
    item->pattern = nullptr;
    if (!token_is_stream_type(lx->code)) {
        lexer_expected(lx, keywords);
        return 0;
    }
    item->type = stream_type_from_token(lx->code);
    snprintf(item->keyword, sizeof(item->keyword), "%s", lx->token);
    item->argument[0] = '\0';
    lexer_next(lx);
    if (lx->code != TOK_LPAREN) {
        lexer_unget(lx);
        return 1;
    }
    lexer_next(lx);
    if (lx->code == TOK_RPAREN) {
        lexer_expected(lx, "<stream argument>");
        return 0;
    }
    snprintf(item->argument, sizeof(item->argument), "%s", lx->token);
    if (patterned && patterned(item->type) && !lx->quoted && strcmp(lx->token, "*") == 0) {
        item->pattern = pattern_new(item->type);
        if (read_exclusions(lx, item->pattern))
            return 1;
        pattern_free(item->pattern);
        item->pattern = nullptr;
        return 0;
    }
    lexer_next(lx);
    if (lx->code != TOK_RPAREN) {
        lexer_expected(lx, ")");
        return 0;
    }
    return 1;
}

int next_statement(lexer *lx)
{
    for (;;) {
        if (!lexer_next(lx)) {
            if (lexer_resume(lx))
                continue;
            return 0;
        }
        if (lx->code != TOK_INCLUDE)
            return 1;
        if (!lexer_include(lx))
            return -1;
    }
}

char *read_port(lexer *lx)
{
    // At the end of input the token has no kind: the default port.
    lexer_next(lx);
    if (lx->code == TOK_PORT || lx->code == TOK_COMMA)
        lexer_next(lx);
    if (lx->kind == KIND_NUMBER)
        return xstrdup(lx->token);
    lexer_unget(lx);
    return xstrdup("2100");
}

int resolve_host_token(const lexer *lx, resolved_host *out)
{
    if (getip(lx->token, AF_INET, out) || getip(lx->token, AF_INET6, out))
        return 1;
    warning("%.200s:%d: could not resolve '%.200s'", lx->filename, lx->line, lx->token);
    return 0;
}

int reread_config(mux_list *fresh, const char *path,
                  int (*read)(mux_list *fresh, const char *path, const void *context),
                  const void *context)
{
    *fresh = {};
    lexer_limits_fatal = 0;
    if (read(fresh, path, context))
        return 1;
    info("new configuration contains errors; keeping old configuration");
    mux_list_free(fresh);
    return 0;
}
