// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// The configuration tokenizer shared by both daemons' readers: reads the
// file in 2048-byte blocks, skips blanks and '#' comments, returns words,
// quoted strings, numbers and the five punctuation tokens, maps keywords to
// token codes through one fixed table (the grammars' words here, the stream
// keywords from the catalogue), counts lines and allows one token of
// look-back.
#pragma once

#include "catalogue.h"

// The codes of the stream keywords are the catalogue's (stream_token).
enum token_code {
    TOK_NONE = 0,
    TOK_ACCEPT = 1,
    TOK_LBRACE = 2,
    TOK_RPAREN = 3,
    TOK_COMMA = 4,
    TOK_DATADIR = 7,
    TOK_RBRACE = 10,
    TOK_EVERY = 11,
    TOK_FROM = 13,
    TOK_IN = 16,
    TOK_MONITOR = 23,
    TOK_MUX = 24,
    TOK_LPAREN = 25,
    TOK_PORT = 28,
    TOK_SECOND = 30,
    TOK_SECONDS = 31,
    TOK_SOURCE = 34,
    TOK_STREAM = 35,
    TOK_TO = 36,
    TOK_WRITE = 37,
    TOK_KEY = 38,
};

enum token_kind { KIND_STRING = 0, KIND_NUMBER = 1, KIND_NONE = 2 };

struct keyword {
    const char *text;
    int code;
};

enum {
    LEXER_BUFFER = 2048,
    LEXER_TOKEN = 2048,
    LEXER_FILE_MAX = 16 * 1024 * 1024, // no configuration is near this
};

struct lexer {
    char *buffer;         // current block of the file
    const char *filename; // borrowed; names the file in every message
    int fd;
    char *token;          // current token, NUL-terminated
    long value;           // the number, when kind is KIND_NUMBER
    int buffer_size;
    int line;
    int position;
    int end;
    int code;
    int pushed_back;
    int at_eof;
    int token_length;
    int failed; // a limit was passed while reading a configuration anew
    token_kind kind;
};

// 1 (the default): a number above 65535 or an overlong token ends the
// process, as at start-up. 0 while a running daemon rereads its file: the
// same message comes as a warning, the input ends and failed is set, so the
// read fails and the running configuration stays.
extern int lexer_limits_fatal;

lexer *lexer_open(const char *path);
int lexer_next(lexer *lx);
void lexer_unget(lexer *lx);
void lexer_close(lexer *lx);
void lexer_expected(const lexer *lx, const char *expected);
// The next token, which must have the code: 1, or 0 when it has another,
// having said what was expected.
int lexer_expect(lexer *lx, int code, const char *expected);
int keyword_lookup(const char *word);
const char *keyword_name(int code);
