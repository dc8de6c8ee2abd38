// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// The multiplexer's configuration: one mux statement (address and port to
// listen on) and source sections naming accepted streams (one by one, or
// by patterns that take them as they come) and the database file of each,
// written one by one or guessed from a data directory; include statements
// read other files in their place.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "readconf.h"

#include "config.h"
#include "confread.h"
#include "error.h"
#include "keyfile.h"
#include "lexer.h"
#include "net.h"
#include "privdrop.h"
#include "types.h"
#include "xmalloc.h"

enum { TEXT_BUFFER = ITEM_TEXT, ARGUMENT_KEPT = 63 };

static constexpr keyword_list STREAM_KEYWORDS = stream_keyword_list();

static int read_mux(lexer *lx, mux_list *muxes)
{
    if (muxes->first) {
        warning("%.200s:%d: only one mux statement allowed", lx->filename, lx->line);
        return 0;
    }
    lexer_next(lx);
    resolved_host host;
    if (!resolve_host_token(lx, &host))
        return 0;
    mux *m = mux_list_add(muxes, "<unknown mux>");
    m->address = xstrdup(host.host);

    m->port = read_port(lx);
    char name[TEXT_BUFFER];
    snprintf(name, sizeof(name), "%s %s", m->address, m->port);
    if (mux_list_rename(muxes, m, name) == nullptr)
        fatal("%s:%d: internal error: dual mux", __FILE__, __LINE__);
    return 1;
}

// Every type a configuration names takes TYPE(*).
static int named(int type)
{
    return stream_type_named(type);
}

static int add_pattern(const lexer *lx, source *src, stream_pattern *p, const char *keyword)
{
    if (pattern_list_add(&source_rules_of(src)->patterns, p))
        return 1;
    pattern_free(p);
    warning("%.200s:%d: stream %.200s(*) redefined", lx->filename, lx->line, keyword);
    return 0;
}

static int read_accept(lexer *lx, source *src)
{
    if (!lexer_expect(lx, TOK_LBRACE, "{"))
        return 0;
    while (lexer_next(lx)) {
        if (lx->code == TOK_COMMA)
            continue;
        if (lx->code == TOK_RBRACE)
            return 1;
        if (lx->code == TOK_ALL) {
            if (!add_pattern(lx, src, pattern_new(PATTERN_ALL_TYPES), "all"))
                return 0;
            continue;
        }
        stream_item item;
        if (!read_stream_item(lx, STREAM_KEYWORDS.text, &item, named))
            return 0;
        if (item.pattern) {
            if (!add_pattern(lx, src, item.pattern, item.keyword))
                return 0;
            continue;
        }
        if (strlen(item.argument) > ARGUMENT_KEPT) {
            warning("%.200s:%d: argument '%.200s' too long for network format, will accept "
                    "initial 63 chars only",
                    lx->filename, lx->line, item.argument);
            item.argument[ARGUMENT_KEPT] = '\0';
        }
        if (source_add_stream(src, item.type, item.argument) == nullptr) {
            warning("%.200s:%d: stream %.200s(%.200s) redefined", lx->filename, lx->line,
                    item.keyword, item.argument);
            return 0;
        }
    }
    // End of file: the section's loop reports the missing brace.
    return 1;
}

// What to do about a database the configuration names that cannot be
// opened; one a datadir names colvo can make itself.
static const char *opening_advice(int error, int guessed)
{
    if (error != ENOENT)
        return file_advice(error);
    return guessed ? "make it (colvo-mkrrd does), or say create in the section"
                   : "make it (colvo-mkrrd does)";
}

static int can_open(const char *path)
{
    int fd = open(path, O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return 0;
    close(fd);
    return 1;
}

// On reload, a database the running configuration writes stays attached
// when it cannot be opened now (deleted, being restored, read-only): its
// updates fail and are told until it is back, with no reload needed.
static int stays_attached(const lexer *lx, const source *running, int type, const char *argument,
                          const char *path)
{
    const stream *old = running ? source_find_stream(running, type, argument) : nullptr;
    if (old == nullptr || old->rrd_file == nullptr || strcmp(old->rrd_file, path) != 0)
        return 0;
    warning("%.200s:%d: file '%.200s' stays attached: its updates fail until it is back", lx->filename,
            lx->line, path);
    return 1;
}

// A source's last datadir statement, and what the section says of making
// databases: the datadir names the files of the streams accepted before it
// at once, and of those accepted after it at the end of the section.
struct datadir_statement {
    char path[TEXT_BUFFER]; // "" before any, without its trailing "/"
    char written[TEXT_BUFFER];
    int line;
    int missing; // the folder is not there (yet)
    int create;  // the section says create, wherever
};

// Names the files of the streams without one under the directory. With
// checking, a file that cannot be opened is told and its stream stays
// without one; a missing file waits for the end of the section (final),
// where create keeps it, to be made at first sight.
static int apply_datadir(const lexer *lx, source *src, const datadir_statement *d, int check,
                         const source *running, int final)
{
    char path[TEXT_BUFFER];
    snprintf(path, sizeof(path), "%s", d->path);
    size_t length = strlen(path);
    for (stream *s = src->streams.first; s; s = s->next) {
        if (s->rrd_file)
            continue;
        if (!make_rrd_file_name(path + length, TEXT_BUFFER - static_cast<int>(length), s->type,
                                s->argument)) {
            if (s->argument[0])
                warning("%.200s:%d: failed to construct stream %.200s(%.200s) filename using "
                        "datadir '%.200s'",
                        lx->filename, d->line, stream_type_name(s->type), s->argument, d->written);
            else
                warning("%.200s:%d: failed to construct stream %.200s) filename using datadir "
                        "'%.200s'",
                        lx->filename, d->line, stream_type_name(s->type), d->written);
            return 0;
        }
        if (check && (d->missing || !can_open(path))) {
            int error = d->missing ? ENOENT : errno;
            if (error == ENOENT && !final)
                continue;
            if (!(error == ENOENT && d->create)) {
                warning("%.200s:%d: file '%.200s', guessed by datadir,  cannot be opened: %.200s - "
                        "%.200s",
                        lx->filename, d->line, path, strerror(error), opening_advice(error, 1));
                if (!stays_attached(lx, running, s->type, s->argument, path))
                    continue;
            }
        }
        s->rrd_file = xstrdup(path);
    }
    return 1;
}

static int read_datadir(lexer *lx, source *src, int check, const source *running,
                        datadir_statement *d)
{
    lexer_next(lx);
    const char *written = lx->token;
    if (written[0] != '/') {
        warning("%.200s:%d: datadir path '%.200s' is not absolute", lx->filename, lx->line,
                written);
        return 0;
    }
    snprintf(d->written, sizeof(d->written), "%s", written);
    snprintf(d->path, sizeof(d->path), "%s", written);
    size_t length = strlen(d->path);
    if (length > 0 && d->path[length - 1] == '/')
        d->path[length - 1] = '\0';
    d->line = lx->line;
    d->missing = 0;
    if (check) {
        struct stat st;
        if (stat(d->written, &st) != 0) {
            // Told at the end of the section, unless it says create.
            d->missing = errno == ENOENT;
            if (!d->missing) {
                warning("%.200s:%d: could not stat datadir path '%.200s': %.200s - make it "
                        "colvo's to read, or correct the path",
                        lx->filename, d->line, d->written, strerror(errno));
                return 0;
            }
        } else if (!S_ISDIR(st.st_mode)) {
            warning("%.200s:%d: datadir path '%.200s' is not a directory", lx->filename,
                    d->line, d->written);
            return 0;
        }
    }
    return apply_datadir(lx, src, d, check, running, 0);
}

// A relative write path is made absolute, as -f is, so a reload names the
// same file.
const char *start_directory()
{
    static char dir[TEXT_BUFFER];
    if (dir[0] == '\0' && getcwd(dir, sizeof(dir)) == nullptr)
        fatal("could not get working directory");
    return dir;
}

static int read_write(lexer *lx, source *src, int check, const source *running)
{
    lexer_next(lx);
    stream_item item;
    if (!read_stream_item(lx, STREAM_KEYWORDS.text, &item))
        return 0;
    if (!lexer_expect(lx, TOK_IN, "in"))
        return 0;
    lexer_next(lx);
    const char *path = lx->token;
    char absolute[TEXT_BUFFER];
    if (path[0] != '/') {
        int n = snprintf(absolute, sizeof(absolute), "%s/%s", start_directory(), path);
        if (n < 0 || n >= static_cast<int>(sizeof(absolute))) {
            warning("%.200s:%d: file '%.200s' cannot be opened", lx->filename, lx->line, path);
            return 0;
        }
        path = absolute;
    }
    stream *s = source_find_stream(src, item.type, item.argument);
    if (s == nullptr) {
        if (item.argument[0])
            warning("%.200s:%d: stream %.200s(%.200s) is not accepted for %.200s", lx->filename,
                    lx->line, item.keyword, item.argument, src->name);
        else
            warning("%.200s:%d: stream %.200s is not accepted for %.200s", lx->filename,
                    lx->line, item.keyword, src->name);
        return 0;
    }
    if (check) {
        if (!can_open(path)) {
            int error = errno;
            warning("%.200s:%d: file '%.200s' cannot be opened: %.200s - %.200s", lx->filename,
                    lx->line, path, strerror(error), opening_advice(error, 0));
            if (!stays_attached(lx, running, s->type, s->argument, path))
                return 0;
        }
        if (s->rrd_file)
            warning("%.200s:%d: file '%.200s' overwrites previous definition '%.200s'",
                    lx->filename, lx->line, path, s->rrd_file);
    }
    if (s->rrd_file)
        xfree(s->rrd_file);
    s->rrd_file = xstrdup(path);
    return 1;
}

// key "PATH": the source's datagrams must carry an authenticator made
// with this key. A relative path is taken from the start directory. Read
// only when files are checked (the daemon, its test mode).
static int read_key(lexer *lx, source *src, int check)
{
    if (!lexer_next(lx)) {
        lexer_expected(lx, "<key file>");
        return 0;
    }
    // Listing files and making databases need no key.
    if (!check)
        return 1;
    if (src->auth) {
        warning("%.200s:%d: a second key for source '%.200s'", lx->filename, lx->line, src->name);
        return 0;
    }
    char path[TEXT_BUFFER];
    int n = lx->token[0] == '/'
                ? snprintf(path, sizeof(path), "%s", lx->token)
                : snprintf(path, sizeof(path), "%s/%s", start_directory(), lx->token);
    if (n < 0 || n >= static_cast<int>(sizeof(path))) {
        warning("%.200s:%d: key file path '%.200s' too long", lx->filename, lx->line, lx->token);
        return 0;
    }
    auth_key *key = load_key_file(path, lx->filename, lx->line);
    if (key == nullptr) {
        if (errno == EACCES && privileges_dropped)
            warning("%.200s:%d: key file '%.200s' is readable by root only, and colvo gave up "
                    "root at start: make it %s's (mode 0400) or restart colvo",
                    lx->filename, lx->line, path, COLVO_USER);
        return 0;
    }
    src->auth = auth_config_new(key, path);
    return 1;
}

// The next token, a number above 0, into count.
static int read_count(lexer *lx, int *count)
{
    lexer_next(lx);
    if (lx->kind != KIND_NUMBER || lx->value < 1) {
        lexer_expected(lx, "<number above 0>");
        return 0;
    }
    *count = static_cast<int>(lx->value);
    return 1;
}

// The end of a section: the last datadir names the files of the streams
// still without one, and is where the patterns' streams go.
static int end_source(const lexer *lx, source *src, int check, const source *running,
                      const datadir_statement *d)
{
    if (d->path[0] == '\0') {
        if (!d->create)
            return 1;
        warning("%.200s:%d: create needs a datadir, where the databases are made", lx->filename,
                lx->line);
        return 0;
    }
    if (d->missing && !d->create) {
        warning("%.200s:%d: could not stat datadir path '%.200s': %.200s - make the folder "
                "(colvo-mkrrd makes it), correct the path, or say create",
                lx->filename, d->line, d->written, strerror(ENOENT));
        return 0;
    }
    if (!apply_datadir(lx, src, d, check, running, 1))
        return 0;
    if (src->rules || d->create) {
        source_rules_of(src)->datadir = xstrdup(d->path);
        src->rules->create = d->create;
    }
    return 1;
}

static int read_source(lexer *lx, source_list *sources, int check, const mux *running)
{
    lexer_next(lx);
    resolved_host host;
    if (!resolve_host_token(lx, &host))
        return 0;
    source *src = source_list_add(sources, host.host);
    if (src == nullptr) {
        // One section per host: a second one would be read into nothing.
        warning("%.200s:%d: source '%.200s' is already defined", lx->filename, lx->line,
                host.host);
        return 0;
    }
    const source *was = running ? source_list_find(&running->sources, src->name) : nullptr;
    if (!lexer_expect(lx, TOK_LBRACE, "{"))
        return 0;
    static datadir_statement last; // two paths: kept off the stack
    last = {};
    for (;;) {
        if (!lexer_next(lx)) {
            warning("%.200s:%d: missing close brace on source statement", lx->filename,
                    lx->line);
            return 0;
        }
        int ok;
        switch (lx->code) {
        case TOK_RBRACE:
            // Packed as each section ends, so the next one's records reuse
            // the room this one's leave.
            if (!end_source(lx, src, check, was, &last))
                return 0;
            source_pack_streams(src);
            return 1;
        case TOK_ACCEPT:
            ok = read_accept(lx, src);
            break;
        case TOK_DATADIR:
            ok = read_datadir(lx, src, check, was, &last);
            break;
        case TOK_MAX: // max files N: the most streams the patterns take
            ok = lexer_expect(lx, TOK_FILES, "files") &&
                 read_count(lx, &source_rules_of(src)->max_files);
            break;
        case TOK_STEP: // step N: the seconds between updates of databases made
            ok = read_count(lx, &source_rules_of(src)->step);
            break;
        case TOK_CREATE:
            last.create = 1;
            ok = 1;
            break;
        case TOK_WRITE:
            ok = read_write(lx, src, check, was);
            break;
        case TOK_KEY:
            ok = read_key(lx, src, check);
            break;
        default:
            lexer_expected(lx, "accept|datadir|write");
            ok = 0;
        }
        if (!ok)
            return 0;
    }
}

static int check_sources(const char *path, const source_list *sources)
{
    for (const source *src = sources->first; src; src = src->next) {
        if (src->streams.first == nullptr && !(src->rules && src->rules->patterns.first)) {
            warning("%.200s: no streams accepted for source '%.200s'", path, src->name);
            return 0;
        }
        for (const stream *s = src->streams.first; s; s = s->next)
            if (s->rrd_file == nullptr)
                warning("%.200s: no filename specified for stream '%.200s(%.200s)' in source "
                        "'%.200s'",
                        path, stream_type_name(s->type), s->argument, src->name);
    }
    return 1;
}

struct keyed {
    const source *src;
    int order; // in the file
};

static int by_key(const void *a, const void *b)
{
    const keyed *x = static_cast<const keyed *>(a), *y = static_cast<const keyed *>(b);
    int c = memcmp(x->src->auth->key_id, y->src->auth->key_id, sizeof(x->src->auth->key_id));
    return c != 0 ? c : x->order - y->order;
}

// The MAC does not cover the sender: a key two sources hold would let
// the packets of one be taken as the other's.
static int check_keys(const char *path, const source_list *sources)
{
    int count = 0;
    for (const source *src = sources->first; src; src = src->next)
        count += src->auth != nullptr;
    if (count < 2)
        return 1;
    keyed *all = static_cast<keyed *>(xmalloc(sizeof(keyed) * static_cast<size_t>(count)));
    // The list holds the last section first.
    int n = 0;
    for (const source *src = sources->first; src; src = src->next)
        if (src->auth) {
            all[n] = {src, count - n};
            n++;
        }
    qsort(all, static_cast<size_t>(n), sizeof(keyed), by_key);
    int ok = 1;
    for (int i = 1; i < n; i++) {
        const auth_config *a = all[i - 1].src->auth, *b = all[i].src->auth;
        if (memcmp(a->key_id, b->key_id, sizeof(a->key_id)) != 0)
            continue;
        warning("%.200s: sources '%.200s' and '%.200s' share one key (key files '%.200s' and "
                "'%.200s'): a key belongs to one source",
                path, all[i - 1].src->name, all[i].src->name, a->key_file, b->key_file);
        ok = 0;
    }
    xfree(all);
    return ok;
}

int load_config(mux_list *out, const char *path, int check, const mux *running)
{
    source_list sources = {};
    start_directory();
    lexer *lx = lexer_open(path);
    if (lx == nullptr)
        return 0;
    for (int next; (next = next_statement(lx)) != 0;) {
        int ok;
        if (next < 0) {
            ok = 0;
        } else if (lx->code == TOK_SOURCE) {
            ok = read_source(lx, &sources, check, running);
        } else if (lx->code == TOK_MUX) {
            ok = read_mux(lx, out);
        } else {
            lexer_expected(lx, "mux|source");
            ok = 0;
        }
        if (!ok) {
            source_list_free(&sources);
            lexer_close(lx);
            return 0;
        }
    }
    int failed = lx->failed;
    lexer_close(lx);
    if (failed) {
        source_list_free(&sources);
        return 0;
    }
    if (out->first == nullptr) {
        warning("%.200s: no mux statement seen", path);
        source_list_free(&sources);
        return 0;
    }
    out->first->sources = sources;
    if (sources.first == nullptr) {
        warning("%.200s: no source section seen", path);
        return 0;
    }
    return check_sources(path, &out->first->sources) && check_keys(path, &out->first->sources);
}
