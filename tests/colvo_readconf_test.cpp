// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <string>

#include "auth_check.h"
#include "intake.h"
#include "output.h"
#include "readconf.h"
#include "receiver.h"
#include "log_capture.h"
#include "temp_dir.h"
#include "types.h"

namespace {

struct ColvoConfig : ::testing::Test {
    temp_dir dir;
    log_capture log;
    mux_list muxes = {};
    std::string path;

    ~ColvoConfig() override { mux_list_free(&muxes); }

    int load(const std::string &text, int check = 1)
    {
        mux_list_free(&muxes);
        muxes.first = nullptr;
        log.clear();
        path = dir.write("colvo.conf", text);
        return load_config(&muxes, path.c_str(), check);
    }

    std::string at(int line) const { return path + ":" + std::to_string(line) + ": "; }
    const source *first_source() const { return muxes.first->sources.first; }
};

TEST_F(ColvoConfig, MuxPortForms)
{
    const char *forms[][2] = {{"mux 127.0.0.1", "2100"},
                              {"mux 127.0.0.1 port 2200", "2200"},
                              {"mux 127.0.0.1, 2201", "2201"},
                              {"mux 127.0.0.1 2202", "2202"},
                              {"mux 127.0.0.1 port", "2100"}};
    for (auto &f : forms) {
        ASSERT_EQ(1, load(std::string(f[0]) + "\nsource 127.0.0.1 { accept { load } }"))
            << f[0] << log.dump();
        EXPECT_STREQ(f[1], muxes.first->port) << f[0];
        EXPECT_EQ(std::string("127.0.0.1 ") + f[1], muxes.first->name);
    }
}

TEST_F(ColvoConfig, HostNamesAreStoredNumeric)
{
    ASSERT_EQ(1, load("mux localhost\nsource localhost { accept { load } }"));
    EXPECT_STREQ("127.0.0.1", muxes.first->address);
    EXPECT_STREQ("127.0.0.1", first_source()->name);
    EXPECT_EQ(0, load("mux 127.0.0.1 source no-such-host.invalid { }"));
    EXPECT_TRUE(log.has(at(1) + "could not resolve 'no-such-host.invalid'")) << log.dump();
}

TEST_F(ColvoConfig, MuxStatementRules)
{
    EXPECT_EQ(0, load("source 127.0.0.1 { accept { load } }"));
    EXPECT_TRUE(log.has(path + ": no mux statement seen"));
    EXPECT_EQ(0, load("mux 127.0.0.1\nmux 127.0.0.1 2101\n"));
    EXPECT_TRUE(log.has(at(2) + "only one mux statement allowed")) << log.dump();
    EXPECT_EQ(0, load("mux 127.0.0.1"));
    EXPECT_TRUE(log.has(path + ": no source section seen"));
    EXPECT_EQ(0, load("mux 127.0.0.1 source 127.0.0.1 { }"));
    EXPECT_TRUE(log.has(path + ": no streams accepted for source '127.0.0.1'"));
    EXPECT_EQ(0, load("mux 127.0.0.1 banana\n"));
    EXPECT_TRUE(log.has(at(2) + "expected 'mux|source' found 'banana'"));
}

TEST_F(ColvoConfig, AcceptBlocks)
{
    ASSERT_EQ(1, load("mux 127.0.0.1 source 127.0.0.1 { accept { load, cpu(0) if2(em0) "
                      "if1(em0) } }"));
    const stream *s = first_source()->streams.first;
    EXPECT_EQ(STREAM_IF1, s->type);
    EXPECT_EQ(STREAM_IF, s->next->type);
    EXPECT_STREQ("em0", s->next->argument);
    EXPECT_EQ(STREAM_LOAD, s->next->next->next->type);
    EXPECT_TRUE(log.has(path + ": no filename specified for stream 'load()' in source "
                               "'127.0.0.1'"))
        << log.dump();

    EXPECT_EQ(0, load("mux 127.0.0.1 source 127.0.0.1 { accept { if(em0) if(em0) } }"));
    EXPECT_TRUE(log.has(at(1) + "stream if(em0) redefined"));
    EXPECT_EQ(0, load("mux 127.0.0.1 source 127.0.0.1 { accept { if() } }"));
    EXPECT_TRUE(log.has(at(1) + "expected '<stream argument>' found ')'"));
    EXPECT_EQ(0, load("mux 127.0.0.1 source 127.0.0.1 { accept { if(em0 } }"));
    EXPECT_TRUE(log.has(at(1) + "expected ')' found '}'"));
    EXPECT_EQ(0, load("mux 127.0.0.1 source 127.0.0.1 { accept { banana } }"));
    EXPECT_TRUE(log.has(at(1) +
                        "expected '{cpu|cpuiow|df|if|if1|io|io1|mem|mem1|pf|pfq|mbuf|debug|proc|"
                        "sensor|smart|load|flukso|zfs}' found 'banana'"));
    EXPECT_EQ(0, load("mux 127.0.0.1 source 127.0.0.1 { accept load }"));
    EXPECT_TRUE(log.has(at(1) + "expected '{' found 'load'"));
    EXPECT_EQ(0, load("mux 127.0.0.1 source 127.0.0.1 { banana }"));
    EXPECT_TRUE(log.has(at(1) + "expected 'accept|datadir|write' found 'banana'"));
}

TEST_F(ColvoConfig, MissingCloseBrace)
{
    EXPECT_EQ(0, load("mux 127.0.0.1\nsource 127.0.0.1 {\n accept { load }\n"));
    EXPECT_TRUE(log.has(at(4) + "missing close brace on source statement")) << log.dump();
    EXPECT_EQ(0, load("mux 127.0.0.1\nsource 127.0.0.1 {\n accept { load "));
    EXPECT_TRUE(log.contains("missing close brace on source statement")) << log.dump();
}

TEST_F(ColvoConfig, SecondSectionForOneHostFails)
{
    EXPECT_EQ(0, load("mux 127.0.0.1\nsource 127.0.0.1 { accept { load } }\nsource localhost "
                      "{ accept { mem } }"));
    EXPECT_TRUE(log.has(at(3) + "source '127.0.0.1' is already defined")) << log.dump();
}

TEST_F(ColvoConfig, LongArgumentsAreCutTo63)
{
    std::string a70(70, 'a');
    ASSERT_EQ(1, load("mux 127.0.0.1 source 127.0.0.1 { accept { proc(" + a70 + ") } }"));
    EXPECT_TRUE(log.has(at(1) + "argument '" + a70 +
                        "' too long for network format, will accept initial 63 chars only"));
    EXPECT_EQ(std::string(63, 'a'), first_source()->streams.first->argument);
    std::string rrd = dir.write("p.rrd", "");
    EXPECT_EQ(0, load("mux 127.0.0.1 source 127.0.0.1 { accept { proc(" + a70 + ") } write proc(" +
                      a70 + ") in " + rrd + " }"));
    EXPECT_TRUE(log.has(at(1) + "stream proc(" + a70 + ") is not accepted for 127.0.0.1"));
}

TEST_F(ColvoConfig, DatadirNamingRule)
{
    char buf[2048];
    struct {
        int type;
        const char *arg;
        const char *name;
    } cases[] = {{STREAM_IF, "em0", "/if_em0.rrd"},
                 {STREAM_CPU, "0", "/cpu0.rrd"},
                 {STREAM_DF, "/dev/ada0p2", "/df__dev_ada0p2.rrd"},
                 {STREAM_MEM, "", "/mem.rrd"},
                 {STREAM_MEM1, "ignored", "/mem.rrd"},
                 {STREAM_IO1, "ada0", "/io1_ada0.rrd"},
                 {STREAM_PFQ, "em0/std", "/pfq_em0_std.rrd"}};
    for (auto &c : cases) {
        ASSERT_EQ(1, make_rrd_file_name(buf, sizeof(buf), c.type, c.arg));
        EXPECT_STREQ(c.name, buf);
    }
    EXPECT_EQ(0, make_rrd_file_name(buf, 9, STREAM_LOAD, ""));
    EXPECT_EQ(1, make_rrd_file_name(buf, 10, STREAM_LOAD, ""));
    EXPECT_EQ(0, make_rrd_file_name(buf, sizeof(buf), STREAM_ALLFORMATS, ""));
    EXPECT_TRUE(log.contains("internal error: type (18) unknown"));
}

TEST_F(ColvoConfig, DatadirGuessesForStreamsAcceptedBeforeIt)
{
    std::string rrd = dir.path() + "/rrd";
    dir.write("rrd/if_em0.rrd", "");
    dir.write("rrd/cpu0.rrd", "");
    ASSERT_EQ(1, load("mux 127.0.0.1 source 127.0.0.1 {\n accept { if(em0) if1(em0) cpu(0) }\n "
                      "datadir " + rrd + "/\n accept { load }\n}"));
    const stream *load_s = first_source()->streams.first;
    EXPECT_EQ(nullptr, load_s->rrd_file);
    const stream *cpu = load_s->next;
    EXPECT_EQ(rrd + "/cpu0.rrd", cpu->rrd_file);
    EXPECT_EQ(rrd + "/if_em0.rrd", cpu->next->rrd_file);
    EXPECT_EQ(rrd + "/if_em0.rrd", cpu->next->next->rrd_file);
}

TEST_F(ColvoConfig, DatadirChecks)
{
    std::string rrd = dir.path() + "/rrd";
    dir.write("rrd/keep", "");
    dir.write("plain", "");
    EXPECT_EQ(0, load("mux 127.0.0.1 source 127.0.0.1 { accept { load } datadir rrd }"));
    EXPECT_TRUE(log.has(at(1) + "datadir path 'rrd' is not absolute"));
    EXPECT_EQ(0, load("mux 127.0.0.1 source 127.0.0.1 { accept { load } datadir /nonexistent }"));
    EXPECT_TRUE(log.has(at(1) + "could not stat datadir path '/nonexistent': No such file or "
                                "directory - make the folder (colvo-mkrrd makes it), correct "
                                "the path, or say create"));
    EXPECT_EQ(0, load("mux 127.0.0.1 source 127.0.0.1 { accept { load } datadir " +
                      dir.file("plain") + " }"));
    EXPECT_TRUE(log.has(at(1) + "datadir path '" + dir.file("plain") + "' is not a directory"));

    // Guessed files that do not exist: warned, left without a file.
    ASSERT_EQ(1, load("mux 127.0.0.1 source 127.0.0.1 { accept { load } datadir " + rrd + " }"));
    EXPECT_TRUE(log.has(at(1) + "file '" + rrd + "/load.rrd', guessed by datadir,  cannot be "
                                                 "opened: No such file or directory - make it "
                                                 "(colvo-mkrrd does), or say create in the section"));
    EXPECT_TRUE(log.has(path + ": no filename specified for stream 'load()' in source "
                               "'127.0.0.1'"));
    EXPECT_EQ(nullptr, first_source()->streams.first->rrd_file);
    // Without checking the guesses are kept, even for a missing directory.
    ASSERT_EQ(1, load("mux 127.0.0.1 source 127.0.0.1 { accept { load } datadir /nowhere/ }", 0));
    EXPECT_STREQ("/nowhere/load.rrd", first_source()->streams.first->rrd_file);
}

TEST_F(ColvoConfig, DatadirNameThatDoesNotFit)
{
    std::string deep = "/" + std::string(2040, 'd');
    EXPECT_EQ(0, load("mux 127.0.0.1 source 127.0.0.1 { accept { if(em0) } datadir " + deep +
                          " }",
                      0));
    EXPECT_TRUE(log.contains("failed to construct stream if(em0) filename using datadir"));
    EXPECT_EQ(0, load("mux 127.0.0.1 source 127.0.0.1 { accept { load } datadir " + deep + " }",
                      0));
    EXPECT_TRUE(log.contains("failed to construct stream load) filename using datadir"));
}

TEST_F(ColvoConfig, WriteAndDatadirPrecedence)
{
    std::string rrd = dir.path() + "/rrd";
    std::string guessed = dir.write("rrd/load.rrd", "");
    std::string written = dir.write("mine.rrd", "");
    ASSERT_EQ(1, load("mux 127.0.0.1 source 127.0.0.1 { accept { load } datadir " + rrd +
                      " write load in " + written + " }"));
    EXPECT_EQ(written, first_source()->streams.first->rrd_file);
    EXPECT_TRUE(log.has(at(1) + "file '" + written + "' overwrites previous definition '" +
                        guessed + "'"));
    ASSERT_EQ(1, load("mux 127.0.0.1 source 127.0.0.1 { accept { load } write load in " +
                      written + " datadir " + rrd + " }"));
    EXPECT_EQ(written, first_source()->streams.first->rrd_file);
    EXPECT_FALSE(log.contains("overwrites"));
}

TEST_F(ColvoConfig, WriteErrors)
{
    std::string written = dir.write("mine.rrd", "");
    EXPECT_EQ(0, load("mux 127.0.0.1 source 127.0.0.1 { accept { load } write cpu(0) in " +
                      written + " }"));
    EXPECT_TRUE(log.has(at(1) + "stream cpu(0) is not accepted for 127.0.0.1"));
    EXPECT_EQ(0, load("mux 127.0.0.1 source 127.0.0.1 { accept { cpu(0) } write load in " +
                      written + " }"));
    EXPECT_TRUE(log.has(at(1) + "stream load is not accepted for 127.0.0.1"));
    EXPECT_EQ(0, load("mux 127.0.0.1 source 127.0.0.1 { accept { load } write load in "
                      "/nonexistent/x.rrd }"));
    EXPECT_TRUE(log.has(at(1) + "file '/nonexistent/x.rrd' cannot be opened: No such file or "
                                "directory - make it (colvo-mkrrd does)"));
    EXPECT_EQ(0, load("mux 127.0.0.1 source 127.0.0.1 { accept { load } write load to x }"));
    EXPECT_TRUE(log.has(at(1) + "expected 'in' found 'to'"));
    EXPECT_EQ(0, load("mux 127.0.0.1 source 127.0.0.1 { accept { load } write banana in x }"));
    EXPECT_TRUE(log.contains("expected '{cpu|cpuiow|"));
    // Unchecked: the missing file is taken as written.
    ASSERT_EQ(1, load("mux 127.0.0.1 source 127.0.0.1 { accept { load } write load in /a.rrd "
                      "write load in /b.rrd }",
                      0));
    EXPECT_STREQ("/b.rrd", first_source()->streams.first->rrd_file);
}

TEST_F(ColvoConfig, UnreadableFileFails)
{
    EXPECT_EQ(0, load_config(&muxes, "/nonexistent/colvo.conf", 1));
    EXPECT_TRUE(log.contains("could not open file \"/nonexistent/colvo.conf\""));
}

} // namespace

namespace {

TEST_F(ColvoConfig, KeyOncePerSourceReadOnlyWhenChecking)
{
    std::string key = dir.write("colvo.key", std::string(64, 'f'));
    chmod(key.c_str(), 0400);
    ASSERT_EQ(1, load("mux 127.0.0.1\nsource 127.0.0.1 { key \"" + key +
                      "\" accept { load } }\nsource 127.0.0.2 { accept { load } }\n"));
    const source *unkeyed = first_source(), *keyed = unkeyed->next;
    EXPECT_EQ(nullptr, unkeyed->auth);
    ASSERT_NE(nullptr, keyed->auth);
    EXPECT_EQ(nullptr, keyed->run);
    EXPECT_EQ(0, load("mux 127.0.0.1\nsource 127.0.0.1 { accept { load } key \"" + key + "\"\nkey \"" +
                      key + "\" }\n"));
    EXPECT_TRUE(log.has(at(3) + "a second key for source '127.0.0.1'")) << log.dump();
    // Listing and making databases need no key, so none is read.
    ASSERT_EQ(1, load("mux 127.0.0.1\nsource 127.0.0.1 { accept { load } key /nonexistent }\n", 0));
    EXPECT_EQ(nullptr, first_source()->auth);
    EXPECT_EQ(0, load("mux 127.0.0.1\nsource 127.0.0.1 { accept { load } key /nonexistent }\n"));
    EXPECT_TRUE(log.has(at(2) + "cannot open key file '/nonexistent': No such file or directory"))
        << log.dump();
}

} // namespace

namespace {

// The section's streams with their files, its patterns and rules, as one
// text; or, for a read that fails, what was told.
TEST_F(ColvoConfig, PatternsDatadirAnywhereAndCreate)
{
    std::string rrd = dir.path() + "/rrd", none = dir.path() + "/none";
    dir.write("rrd/load.rrd", "");
    const struct {
        std::string section, read;
    } cases[] = {
        // The mend: a datadir before the accept names its files too.
        {"datadir " + rrd + " accept { load }", "load=" + rrd + "/load.rrd"},
        {"accept { all, if(* !lo0) } datadir " + rrd,
         "patterns if(!lo0) all() datadir " + rrd + " create 0 max 256 step 0"},
        {"accept { cpu(*) } max files 3 step 60", "patterns cpu() datadir - create 0 max 3 step 60"},
        // With create, missing files and folders are made at first sight.
        {"accept { mem } datadir " + none + "/ create",
         "mem=" + none + "/mem.rrd patterns datadir " + none + " create 1 max 256 step 0"},
        {"create accept { load }", "told: :1: create needs a datadir, where the databases are made"},
        {"accept { mem } datadir " + none,
         "told: :1: could not stat datadir path '" + none + "': No such file or directory"},
        {"accept { if(*), if(* !x) }", "told: :1: stream if(*) redefined"},
        {"accept { load } max 3", "told: :1: expected 'files' found '3'"},
        {"accept { load } step 0", "told: :1: expected '<number above 0>' found '0'"},
    };
    for (const auto &c : cases) {
        std::string read;
        if (load("mux 127.0.0.1 source 127.0.0.1 { " + c.section + " }")) {
            const source *src = first_source();
            for (const stream *s = src->streams.first; s; s = s->next)
                read += std::string(stream_type_name(s->type)) + "=" + (s->rrd_file ? s->rrd_file : "-");
            if (const source_rules *r = src->rules) {
                read += std::string(read.empty() ? "" : " ") + "patterns";
                for (const stream_pattern *p = r->patterns.first; p; p = p->next) {
                    read += std::string(" ") +
                            (p->type == PATTERN_ALL_TYPES ? "all" : stream_type_name(p->type)) + "(";
                    for (int i = 0; i < p->exclusion_count; i++)
                        read += std::string("!") + p->exclusions[i];
                    read += ")";
                }
                read += std::string(" datadir ") + (r->datadir ? r->datadir : "-") + " create " +
                        std::to_string(r->create) + " max " + std::to_string(r->max_files) +
                        " step " + std::to_string(r->step);
            }
        } else {
            for (const logged &l : log.lines())
                if (l.text.find(path) == 0)
                    read = "told: " + l.text.substr(path.size(), c.read.size() - 6);
        }
        EXPECT_EQ(c.read, read) << c.section << "\n" << log.dump();
    }
}

} // namespace

namespace {

// colvo-graph finds what patterns took by the files' names.
TEST(RrdFileStream, NamesBackToStreams)
{
    const struct {
        const char *name;
        int type;
        const char *argument;
    } cases[] = {
        {"cpu0.rrd", STREAM_CPU, "0"},   {"cpuiow1.rrd", STREAM_CPUIOW, "1"},
        {"if_em0.rrd", STREAM_IF, "em0"}, {"io1_ada0.rrd", STREAM_IO1, "ada0"},
        {"mem.rrd", STREAM_MEM, ""},      {"df__var.rrd", STREAM_DF, "_var"},
        {"load.rrd", STREAM_LOAD, ""},    {"loadx.rrd", -1, ""},
        {"cpu0.rrd.a1b2c3", -1, ""},      {"README", -1, ""},
    };
    for (const auto &c : cases) {
        int type = -1;
        char argument[64] = "";
        EXPECT_EQ(c.type >= 0, rrd_file_stream(c.name, &type, argument, sizeof(argument))) << c.name;
        EXPECT_EQ(c.type, c.type >= 0 ? type : -1) << c.name;
        EXPECT_STREQ(c.argument, c.type >= 0 ? argument : "") << c.name;
    }
}

} // namespace
