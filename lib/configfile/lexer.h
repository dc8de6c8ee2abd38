// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// The configuration tokenizer shared by both daemons' readers: reads the
// file in 2048-byte blocks, skips blanks and '#' comments, returns words,
// quoted strings, numbers and the five punctuation tokens, maps keywords to
// token codes through one fixed table (the grammars' words here, the stream
// keywords from the catalogue), counts lines and allows one token of
// look-back. A reader that meets an include statement has the lexer read
// the files it names in their place, each to its end, then go on.
#pragma once

#include <sys/types.h>

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
    TOK_INCLUDE = 40,
    TOK_ALL = 41,
    TOK_CREATE = 42,
    TOK_MAX = 43,
    TOK_FILES = 44,
    TOK_STEP = 45,
    TOK_DISCOVER = 46,
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
    LEXER_INCLUDE_DEPTH = 16,
};

struct lexer_frame;

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
    int quoted; // the token was written between quotes
    // The file being read, and the files whose reading includes interrupted.
    dev_t file_device;
    ino_t file_inode;
    lexer_frame *outer;
    lexer_frame *spent; // finished includes, whose names messages may still hold
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
// An include statement, its keyword the current token: the files its
// path names (a shell pattern, relative to the including file's folder)
// are read next, in sorted order, before the rest of this one. 0 when the
// path names no readable file or would read a file already being read; a
// pattern that matches nothing reads no file, told where its folder is
// missing.
int lexer_include(lexer *lx);
// At the end of an included file: goes on with the next file of its
// include, or the file that included it; 1 when there is more to read.
// A file that cannot be opened then sets failed and ends the input.
int lexer_resume(lexer *lx);
int keyword_lookup(const char *word);
const char *keyword_name(int code);
