// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// colvo-graph's pages: index.html with a line and the thumbnails of every
// host, one page per host with every graph of every stream, and the style
// sheet. Plain HTML and CSS; every text from the configuration escaped.
#pragma once

#include <string>
#include <vector>

#include "graph_site.h"

std::string index_page(const std::vector<site_host> &hosts);
std::string host_page(const site_host *h);
extern const char STYLE_SHEET[];

// Writes contents to path through a temporary file renamed into place;
// 1 on success, 0 after a warning.
int write_file(const std::string &path, const std::string &contents);

// Writes all pages of the site below out; 1 when all were written.
int site_write_pages(const std::string &out, const std::vector<site_host> &hosts);
