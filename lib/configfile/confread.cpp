// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
#include "confread.h"

#include <cstdio>
#include <sys/socket.h>

#include "error.h"
#include "lists.h"
#include "net.h"
#include "types.h"
#include "xmalloc.h"

int read_stream_item(lexer *lx, const char *keywords, stream_item *item)
{
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
    lexer_next(lx);
    if (lx->code != TOK_RPAREN) {
        lexer_expected(lx, ")");
        return 0;
    }
    return 1;
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

int resolve_host_token(const lexer *lx)
{
    if (getip(lx->token, AF_INET) || getip(lx->token, AF_INET6))
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
