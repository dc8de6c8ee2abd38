// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// Escaping and naming for colvo-graph's pages, images and graph calls.
#include "graph_text.h"

#include <cctype>
#include <cstdio>

#include "types.h"

void html_escape(std::string *out, const char *text)
{
    for (const char *p = text; *p; p++) {
        switch (*p) {
        case '&':
            *out += "&amp;";
            break;
        case '<':
            *out += "&lt;";
            break;
        case '>':
            *out += "&gt;";
            break;
        case '"':
            *out += "&quot;";
            break;
        case '\'':
            *out += "&#39;";
            break;
        default:
            *out += *p;
        }
    }
}

std::string file_slug(const char *text)
{
    std::string slug;
    for (const char *p = text; *p; p++) {
        unsigned char c = static_cast<unsigned char>(*p);
        // A leading dot would make ".", ".." or a hidden file.
        if (isalnum(c) || c == '-' || (c == '.' && p != text)) {
            slug += static_cast<char>(c);
        } else {
            char hex[4];
            snprintf(hex, sizeof(hex), "_%02x", c);
            slug += hex;
        }
    }
    return slug;
}

std::string rrd_field(const char *text)
{
    std::string field;
    for (const char *p = text; *p; p++) {
        if (*p == ':')
            field += "\\:";
        else if (*p == '\\')
            field += '/';
        else
            field += *p;
    }
    return field;
}

std::string stream_label(int type, const char *argument)
{
    std::string label = stream_type_name(type);
    if (argument[0])
        label = label + "(" + argument + ")";
    return label;
}
