// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// colvo-export's web configuration (-w): the YAML file Prometheus'
// exporters share, read with libyaml.
//
//   tls_server_config:      # serve HTTPS
//     cert_file: server.crt
//     key_file: server.key
//   basic_auth_users:       # user: bcrypt hash, checked with crypt(3)
//     prometheus: $2y$10$...
//   remote_write_client:    # to every -r receiver
//     basic_auth: {username: colvo, password_file: receiver.pass}
//     tls_config: {ca_file: ca.crt, cert_file: client.crt, key_file: client.key}
//
// Paths are relative to the file's directory. Every file named is read at
// start, while colvo-export may still be root. Any key it does not know or
// cannot honour, a wrong type, a file it cannot read or a hash crypt(3)
// cannot check is fatal, naming the file, the line and the reason.
#pragma once

#include <cstddef>

struct web_user {
    web_user *next;
    char *name;
    char *hash;
    char *verified; // the last password that matched: crypt(3) is slow on purpose
};

// How colvo-export shows itself to a remote-write receiver.
struct web_client {
    char *username; // null: no basic auth
    char *password;
    char *ca;   // PEM, null: the system's
    char *cert; // PEM client certificate and key, null: none
    char *key;
    int insecure; // the receiver's certificate is not checked
};

struct web_config {
    char *cert; // PEM; null: plain HTTP
    char *key;
    web_user *users; // null: no basic auth
    web_client client;
};

void web_config_read(web_config *c, const char *path);
void web_config_free(web_config *c);
// 1 when the user is one of basic_auth_users and the password its.
int web_user_allowed(web_config *c, const char *user, const char *password);
