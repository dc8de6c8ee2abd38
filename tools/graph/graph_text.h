// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// Text made safe for where colvo-graph puts it: HTML, file names and URLs,
// and the colon-separated arguments of RRDtool's graph call.
#pragma once

#include <string>

// Appends text with &, <, >, " and ' replaced by entities.
void html_escape(std::string *out, const char *text);

// A name made of letters, digits, "." and "-" only; every other byte,
// "_" and a leading "." included, becomes "_" and two hex digits, so different texts never
// share a name. Safe in file names, URLs and HTML attributes.
std::string file_slug(const char *text);

// A colon-separated graph argument field: ":" becomes "\:" and a
// backslash, which the graph call would read as a legend escape, "/".
std::string rrd_field(const char *text);

// "type(argument)", or the type name alone when the argument is empty.
std::string stream_label(int type, const char *argument);
