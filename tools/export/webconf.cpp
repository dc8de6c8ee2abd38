// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// The web configuration file: libyaml's document, walked by tables of the
// keys each mapping takes.
#include "webconf.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <unistd.h>
#include <yaml.h>

#include "error.h"
#include "xmalloc.h"

namespace {

struct reader {
    const char *path;
    yaml_document_t doc;
    web_config *config;
};

[[noreturn]] void bad(const reader *r, const yaml_node_t *n, const char *reason, const char *what = "")
{
    fatal("web configuration %.200s:%d: %.100s%.100s", r->path,
          n ? static_cast<int>(n->start_mark.line) + 1 : 1, reason, what);
}

const char *scalar(const reader *r, const yaml_node_t *n)
{
    if (n->type != YAML_SCALAR_NODE)
        bad(r, n, "a single value is wanted here");
    return reinterpret_cast<const char *>(n->data.scalar.value);
}

// The whole of a file named by a path relative to the configuration's
// directory.
char *file_text(const reader *r, const yaml_node_t *n)
{
    const char *name = scalar(r, n);
    char path[4096];
    const char *slash = strrchr(r->path, '/');
    if (name[0] == '/' || slash == nullptr)
        snprintf(path, sizeof(path), "%s", name);
    else
        snprintf(path, sizeof(path), "%.*s/%s", static_cast<int>(slash - r->path), r->path, name);
    FILE *f = fopen(path, "r");
    if (f == nullptr) {
        char reason[512];
        snprintf(reason, sizeof(reason), "cannot read %.300s: %.100s", path, strerror(errno));
        bad(r, n, reason);
    }
    size_t size = 4096, used = 0;
    char *text = static_cast<char *>(xmalloc(size));
    size_t got;
    while ((got = fread(text + used, 1, size - used - 1, f)) > 0) {
        used += got;
        if (used + 1 == size)
            text = static_cast<char *>(xrealloc(text, size *= 2));
    }
    fclose(f);
    text[used] = '\0';
    if (used == 0)
        bad(r, n, "empty file ", path);
    return text;
}

char *keep(char **slot, char *text)
{
    xfree(*slot);
    *slot = text;
    return text;
}

typedef void (*take_value)(reader *r, const yaml_node_t *value);

struct key_rule {
    const char *key;
    take_value take;
};

// Each key of the mapping n to the rule of its name; a key without one,
// or given twice, is an error.
template <int N>
void walk(reader *r, const yaml_node_t *n, const key_rule (&rules)[N])
{
    if (n->type != YAML_MAPPING_NODE)
        bad(r, n, "a mapping of keys is wanted here");
    for (const yaml_node_pair_t *p = n->data.mapping.pairs.start; p < n->data.mapping.pairs.top; p++) {
        const yaml_node_t *key = yaml_document_get_node(&r->doc, p->key);
        const char *name = scalar(r, key);
        for (const yaml_node_pair_t *q = n->data.mapping.pairs.start; q < p; q++)
            if (strcmp(scalar(r, yaml_document_get_node(&r->doc, q->key)), name) == 0)
                bad(r, key, "given twice: ", name);
        const key_rule *rule = nullptr;
        for (const key_rule &k : rules)
            if (strcmp(k.key, name) == 0)
                rule = &k;
        if (rule == nullptr)
            bad(r, key, "unknown or unsupported key: ", name);
        rule->take(r, yaml_document_get_node(&r->doc, p->value));
    }
}

void no_client_cert(reader *r, const yaml_node_t *v)
{
    if (strcmp(scalar(r, v), "NoClientCert") != 0)
        bad(r, v, "client certificates are not checked: client_auth_type can only be NoClientCert");
}

const key_rule TLS_SERVER[] = {
    {"cert_file", [](reader *r, const yaml_node_t *v) { keep(&r->config->cert, file_text(r, v)); }},
    {"key_file", [](reader *r, const yaml_node_t *v) { keep(&r->config->key, file_text(r, v)); }},
    {"client_auth_type", no_client_cert},
};

// A bcrypt hash, as the system's crypt(3) takes it: "$2y$" is "$2b$"
// under another name, which not every system knows.
char *bcrypt_hash(const reader *r, const yaml_node_t *v)
{
    const char *text = scalar(r, v);
    if (strncmp(text, "$2a$", 4) != 0 && strncmp(text, "$2b$", 4) != 0 && strncmp(text, "$2y$", 4) != 0)
        bad(r, v, "not a bcrypt hash ($2a$, $2b$ or $2y$)");
    char *hash = xstrdup(text);
    if (hash[2] == 'y')
        hash[2] = 'b';
    const char *check = crypt("", hash);
    if (check == nullptr || strlen(check) != strlen(hash) || strncmp(check, hash, 7) != 0)
        bad(r, v, "a bcrypt hash the system's crypt(3) cannot check");
    return hash;
}

void users(reader *r, const yaml_node_t *n)
{
    if (n->type != YAML_MAPPING_NODE)
        bad(r, n, "a mapping of users to bcrypt hashes is wanted here");
    web_user **last = &r->config->users;
    for (const yaml_node_pair_t *p = n->data.mapping.pairs.start; p < n->data.mapping.pairs.top; p++) {
        const yaml_node_t *key = yaml_document_get_node(&r->doc, p->key);
        const char *name = scalar(r, key);
        for (const web_user *u = r->config->users; u; u = u->next)
            if (strcmp(u->name, name) == 0)
                bad(r, key, "given twice: ", name);
        web_user *u = static_cast<web_user *>(xzalloc(sizeof(web_user)));
        u->name = xstrdup(name);
        u->hash = bcrypt_hash(r, yaml_document_get_node(&r->doc, p->value));
        *last = u;
        last = &u->next;
    }
}

// The first line of a password file, without its newline.
char *password_file(const reader *r, const yaml_node_t *v)
{
    char *text = file_text(r, v);
    text[strcspn(text, "\r\n")] = '\0';
    return text;
}

const key_rule BASIC_AUTH[] = {
    {"username", [](reader *r, const yaml_node_t *v) { keep(&r->config->client.username, xstrdup(scalar(r, v))); }},
    {"password", [](reader *r, const yaml_node_t *v) { keep(&r->config->client.password, xstrdup(scalar(r, v))); }},
    {"password_file", [](reader *r, const yaml_node_t *v) { keep(&r->config->client.password, password_file(r, v)); }},
};

const key_rule TLS_CLIENT[] = {
    {"ca_file", [](reader *r, const yaml_node_t *v) { keep(&r->config->client.ca, file_text(r, v)); }},
    {"cert_file", [](reader *r, const yaml_node_t *v) { keep(&r->config->client.cert, file_text(r, v)); }},
    {"key_file", [](reader *r, const yaml_node_t *v) { keep(&r->config->client.key, file_text(r, v)); }},
    {"insecure_skip_verify",
     [](reader *r, const yaml_node_t *v) {
         const char *t = scalar(r, v);
         if (strcmp(t, "true") != 0 && strcmp(t, "false") != 0)
             bad(r, v, "true or false is wanted here");
         r->config->client.insecure = strcmp(t, "true") == 0;
     }},
};

const key_rule CLIENT[] = {
    {"basic_auth", [](reader *r, const yaml_node_t *v) { walk(r, v, BASIC_AUTH); }},
    {"tls_config", [](reader *r, const yaml_node_t *v) { walk(r, v, TLS_CLIENT); }},
};

const key_rule TOP[] = {
    {"tls_server_config", [](reader *r, const yaml_node_t *v) { walk(r, v, TLS_SERVER); }},
    {"basic_auth_users", users},
    {"remote_write_client", [](reader *r, const yaml_node_t *v) { walk(r, v, CLIENT); }},
};

} // namespace

void web_config_read(web_config *c, const char *path)
{
    memset(c, 0, sizeof(*c));
    FILE *f = fopen(path, "r");
    if (f == nullptr)
        fatal("cannot read web configuration %.200s: %.200s", path, strerror(errno));
    yaml_parser_t parser;
    yaml_parser_initialize(&parser);
    yaml_parser_set_input_file(&parser, f);
    reader r = {path, {}, c};
    if (!yaml_parser_load(&parser, &r.doc))
        fatal("web configuration %.200s:%d: %.200s", path, static_cast<int>(parser.problem_mark.line) + 1,
              parser.problem ? parser.problem : "not YAML");
    yaml_parser_delete(&parser);
    fclose(f);
    // An empty file asks for nothing.
    const yaml_node_t *root = yaml_document_get_root_node(&r.doc);
    if (root)
        walk(&r, root, TOP);
    yaml_document_delete(&r.doc);
    if (!c->cert != !c->key)
        fatal("web configuration %.200s: tls_server_config needs both cert_file and key_file", path);
    if (!c->client.cert != !c->client.key)
        fatal("web configuration %.200s: remote_write_client's tls_config needs both cert_file and key_file",
              path);
    if (!c->client.username != !c->client.password)
        fatal("web configuration %.200s: remote_write_client's basic_auth needs a username and a password",
              path);
}

void web_config_free(web_config *c)
{
    for (web_user *u = c->users, *next; u; u = next) {
        next = u->next;
        xfree(u->name);
        xfree(u->hash);
        xfree(u->verified);
        xfree(u);
    }
    for (char *text : {c->cert, c->key, c->client.username, c->client.password, c->client.ca, c->client.cert,
                       c->client.key})
        xfree(text);
    memset(c, 0, sizeof(*c));
}

// Equal, in a time that tells nothing of where they differ.
static int same_secret(const char *a, const char *b)
{
    size_t n = strlen(a), m = strlen(b);
    unsigned char differ = n != m;
    for (size_t i = 0; i < n; i++)
        differ |= static_cast<unsigned char>(a[i] ^ b[i % (m ? m : 1)]);
    return !differ;
}

int web_user_allowed(web_config *c, const char *user, const char *password)
{
    web_user *u = c->users;
    while (u && strcmp(u->name, user) != 0)
        u = u->next;
    if (u == nullptr) {
        // As slow as a wrong password: the time tells no user's name.
        if (c->users)
            crypt(password, c->users->hash);
        return 0;
    }
    if (u->verified && same_secret(u->verified, password))
        return 1;
    const char *made = crypt(password, u->hash);
    if (made == nullptr || !same_secret(made, u->hash))
        return 0;
    xfree(u->verified);
    u->verified = xstrdup(password);
    return 1;
}
