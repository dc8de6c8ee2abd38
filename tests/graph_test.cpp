// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// colvo-graph's naming and escaping, and the graph definitions of the
// stream type table.
#include <cctype>
#include <cstring>
#include <gtest/gtest.h>
#include <set>
#include <string>

#include "graph_table.h"
#include "graph_text.h"
#include "types.h"

namespace {

TEST(GraphText, EscapingAndNames)
{
    const struct {
        const char *in, *html, *slug, *field;
    } cases[] = {
        {"em0", "em0", "em0", "em0"},
        {"<b>&\"x'", "&lt;b&gt;&amp;&quot;x&#39;", "_3cb_3e_26_22x_27", "<b>&\"x'"},
        {"/dev/ada0p2", "/dev/ada0p2", "_2fdev_2fada0p2", "/dev/ada0p2"},
        {"fe80::1", "fe80::1", "fe80_3a_3a1", "fe80\\:\\:1"},
        {"..", "..", "_2e.", ".."},
        {"a_b", "a_b", "a_5fb", "a_b"},
        {"c:\\x", "c:\\x", "c_3a_5cx", "c\\:/x"},
        {"\xc3\xa9", "\xc3\xa9", "_c3_a9", "\xc3\xa9"},
    };
    for (const auto &c : cases) {
        std::string html;
        html_escape(&html, c.in);
        EXPECT_EQ(c.html, html) << c.in;
        EXPECT_EQ(c.slug, file_slug(c.in)) << c.in;
        EXPECT_EQ(c.field, rrd_field(c.in)) << c.in;
    }
    // Texts that a plain "/" to "_" rule would merge stay apart.
    EXPECT_NE(file_slug("a/b"), file_slug("a_b"));
    EXPECT_EQ("if(em0)", stream_label(STREAM_IF, "em0"));
    EXPECT_EQ("load", stream_label(STREAM_LOAD, ""));
}

// Every configurable type has graphs, and every name in their expressions
// is a data source of that type: a typo would only show as a failed graph.
TEST(GraphDefinitions, ReferToTheirOwnDataSources)
{
    for (int type = 0; type < STREAM_TYPE_COUNT; type++) {
        if (!stream_type_named(type))
            continue;
        int sources = 0, graphs = 0;
        const data_source *ds = stream_data_sources(type, &sources);
        const graph_def *defs = stream_graphs(type, &graphs);
        ASSERT_TRUE(ds && defs) << type;
        EXPECT_EQ(static_cast<int>(strlen(stream_type_format(type))), sources) << type;
        EXPECT_GT(graphs, 0) << type;
        std::set<std::string> names;
        for (int i = 0; i < sources; i++)
            names.insert(ds[i].name);
        std::set<std::string> files;
        for (int g = 0; g < graphs; g++) {
            EXPECT_TRUE(files.insert(defs[g].name).second) << type;
            for (int i = 0; i < defs[g].count; i++) {
                std::string expr = defs[g].items[i].expr;
                EXPECT_EQ(7u, strlen(defs[g].items[i].color)) << expr;
                for (size_t at = 0; at < expr.size();) {
                    size_t end = expr.find(',', at);
                    std::string token = expr.substr(at, end == std::string::npos ? end : end - at);
                    if (islower(static_cast<unsigned char>(token[0]))) {
                        EXPECT_TRUE(names.count(token)) << stream_type_name(type) << ": " << token;
                    }
                    at = end == std::string::npos ? expr.size() : end + 1;
                }
            }
        }
    }
    int graphs = 0;
    EXPECT_EQ(nullptr, stream_graphs(STREAM_ALLFORMATS, &graphs));
}

} // namespace
