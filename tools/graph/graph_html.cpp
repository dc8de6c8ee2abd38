// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// The site's HTML and CSS. Links are relative ("./" first, so no name can
// read as a URL scheme) and every name in them is a file slug.
#include "graph_html.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unistd.h>

#include "error.h"
#include "graph_text.h"
#include "types.h"

const char STYLE_SHEET[] =
    "body{font-family:sans-serif;margin:0 auto;padding:0 1em;max-width:1320px;color:#222}\n"
    "h1{font-size:1.5em}h2{font-size:1.2em;margin:1.2em 0 .3em}\n"
    "img{max-width:100%;height:auto;border:0}\n"
    ".hosts{display:flex;flex-wrap:wrap;gap:1em;padding:0;list-style:none}\n"
    ".hosts li{border:1px solid #ccc;border-radius:4px;padding:.5em;max-width:100%}\n"
    ".hosts a{text-decoration:none;color:inherit}\n"
    ".hosts h2{margin-top:0}\n"
    ".graphs{display:flex;flex-wrap:wrap;gap:.5em}\n"
    ".when,.missing{color:#666;font-size:.9em}\n"
    "nav a{margin-right:.8em;white-space:nowrap}\n";

static std::string when(time_t t)
{
    if (t <= 0)
        return "never";
    char text[64];
    struct tm local;
    localtime_r(&t, &local);
    strftime(text, sizeof(text), "%Y-%m-%d %H:%M:%S %Z", &local);
    return text;
}

static std::string head(const std::string &title, const char *css)
{
    std::string page = "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
                       "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
                       "<title>";
    html_escape(&page, title.c_str());
    page += "</title>\n<link rel=\"stylesheet\" href=\"";
    page += css;
    page += "\">\n</head>\n<body>\n";
    return page;
}

static void image(std::string *page, const std::string &src, const std::string &alt, int width,
                  int height)
{
    *page += "<img src=\"./" + src + "\" width=\"" + std::to_string(width) + "\" height=\"" +
             std::to_string(height) + "\" alt=\"";
    html_escape(page, alt.c_str());
    *page += "\">";
}

std::string index_page(const std::vector<site_host> &hosts)
{
    std::string page = head("colvo graphs", "./style.css");
    page += "<h1>Hosts</h1>\n<ul class=\"hosts\">\n";
    for (const site_host &h : hosts) {
        page += "<li><a href=\"./" + h.slug + "/index.html\"><h2>";
        html_escape(&page, h.name.c_str());
        page += "</h2>\n";
        if (has_load_thumbnail(&h))
            image(&page, h.slug + "/" + THUMB_LOAD, "load of " + h.name, THUMB_WIDTH, THUMB_HEIGHT);
        if (has_cpu_thumbnail(&h))
            image(&page, h.slug + "/" + THUMB_CPU, "CPU of " + h.name, THUMB_WIDTH, THUMB_HEIGHT);
        page += "</a>\n<p class=\"when\">last update " + when(h.last) + "</p></li>\n";
    }
    page += "</ul>\n</body>\n</html>\n";
    return page;
}

std::string host_page(const site_host *h)
{
    std::string page = head(h->name + " graphs", "../style.css");
    page += "<p><a href=\"../index.html\">All hosts</a></p>\n<h1>";
    html_escape(&page, h->name.c_str());
    page += "</h1>\n<p class=\"when\">last update " + when(h->last) + "</p>\n<nav>";
    for (const site_stream &s : h->streams) {
        page += "<a href=\"#" + s.slug + "\">";
        html_escape(&page, stream_label(s.type, s.argument.c_str()).c_str());
        page += "</a> ";
    }
    page += "</nav>\n";
    for (const site_stream &s : h->streams) {
        std::string label = stream_label(s.type, s.argument.c_str());
        page += "<section id=\"" + s.slug + "\">\n<h2>";
        html_escape(&page, label.c_str());
        page += "</h2>\n";
        if (!s.present) {
            page += "<p class=\"missing\">no database yet: ";
            html_escape(&page, s.rrd.c_str());
            page += "</p>\n</section>\n";
            continue;
        }
        page += "<p class=\"when\">last update " + when(s.last) + "</p>\n";
        int n = 0;
        const graph_def *defs = stream_graphs(s.type, &n);
        for (int g = 0; g < n; g++) {
            page += "<div class=\"graphs\">\n";
            for (const graph_period &p : graph_periods) {
                image(&page, image_name(&s, &defs[g], &p),
                      label + " " + defs[g].title + ", " + p.label, GRAPH_WIDTH, GRAPH_HEIGHT);
                page += "\n";
            }
            page += "</div>\n";
        }
        page += "</section>\n";
    }
    page += "</body>\n</html>\n";
    return page;
}

int write_file(const std::string &path, const std::string &contents)
{
    std::string tmp = path + ".tmp";
    FILE *f = fopen(tmp.c_str(), "w");
    if (f == nullptr) {
        warning("cannot write %.200s: %.200s", tmp.c_str(), strerror(errno));
        return 0;
    }
    size_t written = fwrite(contents.data(), 1, contents.size(), f);
    int closed = fclose(f);
    if (written != contents.size() || closed != 0 || rename(tmp.c_str(), path.c_str()) != 0) {
        warning("cannot write %.200s", path.c_str());
        unlink(tmp.c_str());
        return 0;
    }
    return 1;
}

int site_write_pages(const std::string &out, const std::vector<site_host> &hosts)
{
    int ok = write_file(out + "/style.css", STYLE_SHEET);
    for (const site_host &h : hosts)
        ok &= write_file(out + "/" + h.slug + "/index.html", host_page(&h));
    ok &= write_file(out + "/index.html", index_page(hosts));
    return ok;
}
