// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// The configuration tokenizer and its keyword table.
#include "lexer.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <glob.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include "error.h"
#include "xmalloc.h"

int lexer_limits_fatal = 1;

// The grammars' own words; the stream keywords are the catalogue's.
static constexpr keyword PUNCTUATION[] = {
    {"{", TOK_LBRACE}, {"}", TOK_RBRACE}, {"(", TOK_LPAREN}, {")", TOK_RPAREN}, {",", TOK_COMMA},
};
static constexpr keyword WORDS[] = {
    {"accept", TOK_ACCEPT},   {"all", TOK_ALL},         {"create", TOK_CREATE},
    {"datadir", TOK_DATADIR}, {"discover", TOK_DISCOVER}, {"every", TOK_EVERY},
    {"files", TOK_FILES},     {"from", TOK_FROM},       {"in", TOK_IN},
    {"include", TOK_INCLUDE}, {"key", TOK_KEY},         {"max", TOK_MAX},
    {"monitor", TOK_MONITOR}, {"step", TOK_STEP},
    {"mux", TOK_MUX},         {"port", TOK_PORT},       {"second", TOK_SECOND},
    {"seconds", TOK_SECONDS}, {"source", TOK_SOURCE},   {"stream", TOK_STREAM},
    {"to", TOK_TO},           {"write", TOK_WRITE},
};

constexpr int PUNCTUATION_COUNT = sizeof(PUNCTUATION) / sizeof(PUNCTUATION[0]);
constexpr int WORD_COUNT = sizeof(WORDS) / sizeof(WORDS[0]);

static constexpr int stream_keyword_count()
{
    int n = 0;
    for (const stream_row &r : catalogue::ROWS)
        for (int k = 0; catalogue::keyword_of(r, k); k++)
            n++;
    return n;
}

constexpr int KEYWORD_COUNT = PUNCTUATION_COUNT + WORD_COUNT + stream_keyword_count();

struct keyword_rows {
    keyword row[KEYWORD_COUNT];
};

static constexpr bool sorts_before(const char *a, const char *b)
{
    while (*a && *a == *b)
        a++, b++;
    return static_cast<unsigned char>(*a) < static_cast<unsigned char>(*b);
}

// The punctuation, then every word in the order of its text.
static constexpr keyword_rows sorted_keywords()
{
    keyword_rows t = {};
    int n = 0;
    for (const keyword &k : PUNCTUATION)
        t.row[n++] = k;
    for (const keyword &k : WORDS)
        t.row[n++] = k;
    for (const stream_row &r : catalogue::ROWS)
        for (int k = 0; catalogue::keyword_of(r, k); k++)
            t.row[n++] = {catalogue::keyword_of(r, k), r.token};
    for (int i = PUNCTUATION_COUNT + 1; i < n; i++)
        for (int j = i; j > PUNCTUATION_COUNT && sorts_before(t.row[j].text, t.row[j - 1].text);
             j--) {
            keyword before = t.row[j - 1];
            t.row[j - 1] = t.row[j];
            t.row[j] = before;
        }
    return t;
}

static constexpr keyword_rows keyword_table = sorted_keywords();

static constexpr const char *first_text(int code)
{
    for (const keyword &k : keyword_table.row)
        if (k.code == code)
            return k.text;
    return nullptr;
}

static constexpr int rows_with_code(int code)
{
    int n = 0;
    for (const keyword &k : keyword_table.row)
        n += k.code == code;
    return n;
}

// Every keyword is one text; a grammar word has a code of its own, which
// no stream keyword shares; a type's name is the first keyword of its code,
// as keyword_name finds it.
static constexpr bool keywords_are_sound()
{
    for (int i = 0; i < KEYWORD_COUNT; i++)
        for (int j = i + 1; j < KEYWORD_COUNT; j++)
            if (catalogue::same(keyword_table.row[i].text, keyword_table.row[j].text))
                return false;
    for (const keyword &k : PUNCTUATION)
        if (rows_with_code(k.code) != 1)
            return false;
    for (const keyword &k : WORDS)
        if (rows_with_code(k.code) != 1)
            return false;
    for (const stream_row &r : catalogue::ROWS)
        if (r.keyword && !catalogue::same(first_text(r.token), r.keyword))
            return false;
    return true;
}
static_assert(keywords_are_sound(), "keywords and their codes are unambiguous");

int keyword_lookup(const char *word)
{
    for (const keyword &k : keyword_table.row)
        if (strcasecmp(k.text, word) == 0)
            return k.code;
    return TOK_NONE;
}

const char *keyword_name(int code)
{
    return first_text(code);
}

static void lexer_reset(lexer *lx)
{
    lx->buffer_size = LEXER_BUFFER;
    lx->line = 1;
    lx->position = 0;
    lx->end = 0;
    lx->code = TOK_NONE;
    lx->value = 0;
    lx->pushed_back = 0;
    lx->at_eof = 0;
    lx->token_length = 0;
    lx->failed = 0;
    lx->kind = KIND_NONE;
}

// Reads the next block; 0 at end of file. Read errors count as the end.
static int lexer_fill(lexer *lx)
{
    ssize_t n;
    do
        n = read(lx->fd, lx->buffer, static_cast<size_t>(lx->buffer_size));
    while (n < 0 && errno == EINTR);
    lx->position = 0;
    lx->end = n > 0 ? static_cast<int>(n) : 0;
    if (lx->end == 0) {
        lx->at_eof = 1;
        return 0;
    }
    return 1;
}

// Opens a configuration file: a regular file of at most LEXER_FILE_MAX
// bytes (a device or a FIFO may never end: /dev/zero is all separators).
// The descriptor, or -1 with why the file cannot be read.
static int open_config_file(const char *path, struct stat *st, const char **why)
{
    int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        *why = strerror(errno);
        return -1;
    }
    int regular = fstat(fd, st) == 0 && S_ISREG(st->st_mode);
    if (!regular || st->st_size > LEXER_FILE_MAX) {
        *why = regular ? "larger than 16 MiB" : "not a regular file";
        close(fd);
        return -1;
    }
    return fd;
}

// Makes the opened file the one read, from its start.
static void begin_file(lexer *lx, const char *path, int fd, const struct stat *st)
{
    lx->filename = path;
    lx->fd = fd;
    lx->file_device = st->st_dev;
    lx->file_inode = st->st_ino;
    lx->line = 1;
    lx->at_eof = 0;
    // What the last file pushed back at its end is not read again.
    lx->pushed_back = 0;
    lx->code = TOK_NONE;
    lx->kind = KIND_NONE;
    if (lexer_fill(lx) && lx->buffer[0] == '\n')
        lx->line++;
}

lexer *lexer_open(const char *path)
{
    struct stat st;
    const char *why = nullptr;
    int fd = open_config_file(path, &st, &why);
    if (fd < 0) {
        warning("could not open file \"%.200s\":%.200s", path, why);
        return nullptr;
    }
    lexer *lx = xnew_record<lexer>();
    lexer_reset(lx);
    lx->token = static_cast<char *>(xzalloc(LEXER_TOKEN));
    lx->buffer = static_cast<char *>(xmalloc(LEXER_BUFFER));
    begin_file(lx, path, fd, &st);
    return lx;
}

// A file whose reading an include interrupted, and the files that include
// names, to be read before it goes on.
struct lexer_frame {
    char *buffer;
    const char *filename;
    int fd, line, position, end, at_eof;
    dev_t file_device;
    ino_t file_inode;
    glob_t found;
    size_t next; // the next of found to read
    lexer_frame *outer;
};

static int being_read(const lexer *lx, const struct stat *st)
{
    if (lx->file_device == st->st_dev && lx->file_inode == st->st_ino)
        return 1;
    for (const lexer_frame *f = lx->outer; f; f = f->outer)
        if (f->file_device == st->st_dev && f->file_inode == st->st_ino)
            return 1;
    return 0;
}

// Opens the next file of the innermost include: 1 when one is being read,
// 0 when the include has none left, -1 when one cannot be read.
static int enter_next(lexer *lx)
{
    lexer_frame *f = lx->outer;
    if (f->next >= f->found.gl_pathc)
        return 0;
    const char *path = f->found.gl_pathv[f->next++];
    struct stat st;
    const char *why = nullptr;
    int fd = open_config_file(path, &st, &why);
    if (fd >= 0 && being_read(lx, &st)) {
        close(fd);
        fd = -1;
        why = "it is being read already: the includes go round in a loop";
    }
    if (fd < 0) {
        warning("%.200s:%d: cannot include \"%.200s\": %.200s", f->filename, f->line, path, why);
        return -1;
    }
    begin_file(lx, path, fd, &st);
    return 1;
}

template <typename T> static void exchange(T *a, T *b)
{
    T was = *a;
    *a = *b;
    *b = was;
}

// Trades the file being read for the frame's: entering an include keeps
// where the including file stands, leaving it takes that back.
static void trade_files(lexer *lx, lexer_frame *f)
{
    exchange(&lx->buffer, &f->buffer);
    exchange(&lx->filename, &f->filename);
    exchange(&lx->fd, &f->fd);
    exchange(&lx->line, &f->line);
    exchange(&lx->position, &f->position);
    exchange(&lx->end, &f->end);
    exchange(&lx->at_eof, &f->at_eof);
    exchange(&lx->file_device, &f->file_device);
    exchange(&lx->file_inode, &f->file_inode);
}

// Back to the file that included, where its reading stood.
static void leave_include(lexer *lx)
{
    lexer_frame *f = lx->outer;
    trade_files(lx, f);
    xfree(f->buffer);
    lx->outer = f->outer;
    f->outer = lx->spent;
    lx->spent = f;
    lx->pushed_back = 0;
    lx->code = TOK_NONE;
    lx->kind = KIND_NONE;
}

// Reads the innermost include's files on; 1 when there is input.
static int read_on(lexer *lx)
{
    int entered = enter_next(lx);
    if (entered < 0) {
        lx->failed = 1;
        lx->at_eof = 1;
        return 0;
    }
    if (entered == 0)
        leave_include(lx);
    return 1;
}

static int has_pattern(const char *path)
{
    return strpbrk(path, "*?[") != nullptr;
}

// The folder of the path's last part, where the path names none.
static int folder_exists(const char *path)
{
    const char *slash = strrchr(path, '/');
    char folder[PATH_MAX];
    snprintf(folder, sizeof(folder), "%.*s", slash ? static_cast<int>(slash - path) : 1,
             slash ? path : ".");
    struct stat st;
    return slash == path || (stat(folder, &st) == 0 && S_ISDIR(st.st_mode));
}

int lexer_include(lexer *lx)
{
    const char *where = lx->filename;
    int line = lx->line;
    if (!lexer_next(lx) || lx->token[0] == '\0') {
        lexer_expected(lx, "<file name>");
        return 0;
    }
    char pattern[PATH_MAX];
    const char *slash = strrchr(where, '/');
    int n = lx->token[0] == '/' || slash == nullptr
                ? snprintf(pattern, sizeof(pattern), "%s", lx->token)
                : snprintf(pattern, sizeof(pattern), "%.*s/%s", static_cast<int>(slash - where),
                           where, lx->token);
    if (n < 0 || n >= static_cast<int>(sizeof(pattern))) {
        warning("%.200s:%d: cannot include \"%.200s\": %.200s", where, line, lx->token,
                strerror(ENAMETOOLONG));
        return 0;
    }
    int depth = 0;
    for (const lexer_frame *f = lx->outer; f; f = f->outer)
        depth++;
    if (depth >= LEXER_INCLUDE_DEPTH) {
        warning("%.200s:%d: cannot include \"%.200s\": more than %d includes deep - do the "
                "includes go round in a loop?",
                where, line, pattern, LEXER_INCLUDE_DEPTH);
        return 0;
    }
    lexer_frame *f = xnew_record<lexer_frame>();
    int result = glob(pattern, 0, nullptr, &f->found);
    if (result != 0) {
        globfree(&f->found);
        xfree(f);
        // An empty folder of host files is no error; a missing one is told.
        if (result == GLOB_NOMATCH && has_pattern(pattern)) {
            if (!folder_exists(pattern))
                warning("%.200s:%d: include \"%.200s\" names no file: %.200s", where, line,
                        pattern, strerror(ENOENT));
            return 1;
        }
        warning("%.200s:%d: cannot include \"%.200s\": %.200s - correct the path", where, line,
                pattern, result == GLOB_NOMATCH ? strerror(ENOENT) : "cannot read its folder");
        return 0;
    }
    f->buffer = static_cast<char *>(xmalloc(LEXER_BUFFER));
    f->fd = -1;
    trade_files(lx, f);
    f->outer = lx->outer;
    lx->outer = f;
    return read_on(lx);
}

int lexer_resume(lexer *lx)
{
    if (lx == nullptr || lx->outer == nullptr || lx->failed)
        return 0;
    close(lx->fd);
    lx->fd = -1;
    return read_on(lx);
}

static void free_frames(lexer_frame *f)
{
    while (f) {
        lexer_frame *outer = f->outer;
        globfree(&f->found);
        xfree(f);
        f = outer;
    }
}

void lexer_close(lexer *lx)
{
    if (lx == nullptr)
        return;
    if (lx->fd >= 0)
        close(lx->fd);
    xfree(lx->buffer);
    for (lexer_frame *f = lx->outer; f; f = f->outer) {
        close(f->fd);
        xfree(f->buffer);
    }
    free_frames(lx->outer);
    free_frames(lx->spent);
    xfree(lx->token);
    xfree(lx);
}

static int current(const lexer *lx)
{
    return static_cast<unsigned char>(lx->buffer[lx->position]);
}

// Moves to the next character; 0 once the input is exhausted.
static int advance(lexer *lx)
{
    if (lx->at_eof)
        return 0;
    lx->position++;
    if (lx->position >= lx->end && !lexer_fill(lx))
        return 0;
    if (current(lx) == '\n')
        lx->line++;
    return 1;
}

// A limit passed: fatal at start-up, a failed read when reading anew.
static int give_up(lexer *lx, const char *format)
{
    if (lexer_limits_fatal)
        fatal(format, lx->filename, lx->line, lx->token);
    warning(format, lx->filename, lx->line, lx->token);
    lx->failed = 1;
    lx->at_eof = 1;
    return 0;
}

// 0 when the token would pass its limit.
static int append(lexer *lx, int c)
{
    if (lx->token_length >= LEXER_TOKEN - 1) {
        lx->token[LEXER_TOKEN - 1] = '\0';
        return give_up(lx, "%.200s:%d: parse error at '%.200s'");
    }
    lx->token[lx->token_length++] = static_cast<char>(c);
    return 1;
}

static int is_separator(int c)
{
    return c == '\0' || c == '\t' || c == '\n' || c == '\r' || c == ' ';
}

static int is_punctuation(int c)
{
    return c == '{' || c == '}' || c == ',' || c == '(' || c == ')';
}

static int skip_separators(lexer *lx)
{
    for (;;) {
        if (is_separator(current(lx))) {
            if (!advance(lx))
                return 0;
        } else if (current(lx) == '#') {
            while (current(lx) != '\n')
                if (!advance(lx))
                    return 0;
        } else {
            return 1;
        }
    }
}

static int read_quoted(lexer *lx)
{
    int quote = current(lx);
    for (;;) {
        if (!advance(lx)) {
            lx->token[lx->token_length] = '\0';
            if (quote == '\'')
                warning("%.200s:%d: unbalanced \"'\"", lx->filename, lx->line);
            else
                warning("%.200s:%d: unbalanced '\"'", lx->filename, lx->line);
            return 0;
        }
        if (current(lx) == quote)
            break;
        if (!append(lx, current(lx)))
            return 0;
    }
    lx->token[lx->token_length] = '\0';
    advance(lx);
    return 1;
}

int lexer_next(lexer *lx)
{
    if (lx == nullptr || lx->at_eof)
        return 0;
    if (lx->pushed_back) {
        lx->pushed_back = 0;
        return 1;
    }
    lx->code = TOK_NONE;
    lx->value = 0;
    lx->kind = KIND_NONE;
    lx->quoted = 0;

    if (!skip_separators(lx))
        return 0;

    lx->kind = KIND_STRING;
    lx->token_length = 0;
    int c = current(lx);
    lx->quoted = c == '\'' || c == '"';
    if (lx->quoted)
        return read_quoted(lx);

    if (is_punctuation(c)) {
        append(lx, c);
        lx->token[lx->token_length] = '\0';
        lx->code = keyword_lookup(lx->token);
        advance(lx);
        return 1;
    }

    int more = 1;
    while (more && !is_separator(current(lx)) && current(lx) != '#' &&
           !is_punctuation(current(lx))) {
        if (!append(lx, current(lx)))
            return 0;
        more = advance(lx);
    }
    lx->token[lx->token_length] = '\0';
    lx->code = keyword_lookup(lx->token);

    if (lx->token[0] >= '0' && lx->token[0] <= '9' &&
        strspn(lx->token, "0123456789") == static_cast<size_t>(lx->token_length)) {
        long value = 0;
        for (const char *p = lx->token; *p; p++) {
            value = value * 10 + (*p - '0');
            if (value >= 65536)
                return give_up(lx, "%.200s:%d: parse error at '%.200s': number too large");
        }
        lx->kind = KIND_NUMBER;
        lx->value = value;
    }
    return 1;
}

void lexer_unget(lexer *lx)
{
    if (lx != nullptr)
        lx->pushed_back = 1;
}

void lexer_expected(const lexer *lx, const char *expected)
{
    warning("%.200s:%d: expected '%.200s' found '%.8s'", lx->filename, lx->line, expected,
            lx->token);
}

int lexer_expect(lexer *lx, int code, const char *expected)
{
    lexer_next(lx);
    if (lx->code == code)
        return 1;
    lexer_expected(lx, expected);
    return 0;
}
