// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>

#include "confread.h"
#include "error.h"
#include "lexer.h"
#include "log_capture.h"
#include "temp_dir.h"

namespace {

struct token {
    int code;
    int kind;
    std::string text;
    long value;
    int line;
};

struct Lexer : ::testing::Test {
    temp_dir dir;
    log_capture log;
    std::string path;

    std::vector<token> tokens(const std::string &text)
    {
        path = dir.write("conf", text);
        lexer *lx = lexer_open(path.c_str());
        std::vector<token> out;
        while (lexer_next(lx))
            out.push_back({lx->code, lx->kind, lx->token, lx->value, lx->line});
        lexer_close(lx);
        return out;
    }
};

TEST_F(Lexer, KeywordsIgnoreCaseButNotQuotes)
{
    auto t = tokens("MONITOR Monitor monitor \"monitor\" 'if2'");
    ASSERT_EQ(5u, t.size());
    for (int i = 0; i < 3; i++)
        EXPECT_EQ(TOK_MONITOR, t[i].code);
    EXPECT_EQ(TOK_NONE, t[3].code);
    EXPECT_EQ(KIND_STRING, t[3].kind);
    EXPECT_EQ("monitor", t[3].text);
    EXPECT_EQ("if2", t[4].text);
}

TEST_F(Lexer, PunctuationSplitsWords)
{
    auto t = tokens("cpu(0),{x}");
    ASSERT_EQ(8u, t.size());
    EXPECT_EQ(TOK_CPU, t[0].code);
    EXPECT_EQ(TOK_LPAREN, t[1].code);
    EXPECT_EQ(KIND_NUMBER, t[2].kind);
    EXPECT_EQ(0, t[2].value);
    EXPECT_EQ(TOK_RPAREN, t[3].code);
    EXPECT_EQ(TOK_COMMA, t[4].code);
    EXPECT_EQ(TOK_LBRACE, t[5].code);
    EXPECT_EQ("x", t[6].text);
    EXPECT_EQ(TOK_RBRACE, t[7].code);
}

TEST_F(Lexer, NumbersAreDigitsOnlyBelow65536)
{
    auto t = tokens("every 5seconds 65535 -1 0x10 007");
    ASSERT_EQ(6u, t.size());
    EXPECT_EQ(TOK_EVERY, t[0].code);
    EXPECT_EQ(KIND_STRING, t[1].kind);
    EXPECT_EQ(TOK_NONE, t[1].code);
    EXPECT_EQ(KIND_NUMBER, t[2].kind);
    EXPECT_EQ(65535, t[2].value);
    EXPECT_EQ(KIND_STRING, t[3].kind);
    EXPECT_EQ(KIND_STRING, t[4].kind);
    EXPECT_EQ(7, t[5].value);
}

TEST_F(Lexer, CommentsEndWordsAndRunToEndOfLine)
{
    auto t = tokens("load#comment mem\n  # whole line\nio");
    ASSERT_EQ(2u, t.size());
    EXPECT_EQ(TOK_LOAD, t[0].code);
    EXPECT_EQ(TOK_IO, t[1].code);
}

TEST_F(Lexer, QuotedTextKeepsEverythingAndCountsLines)
{
    auto t = tokens("'a b\n#{}\"' \"\" x\ny");
    ASSERT_EQ(4u, t.size());
    EXPECT_EQ("a b\n#{}\"", t[0].text);
    EXPECT_EQ(2, t[0].line);
    EXPECT_EQ("", t[1].text);
    EXPECT_EQ(KIND_STRING, t[1].kind);
    // A word at the end of a line is reported on the next one.
    EXPECT_EQ("x", t[2].text);
    EXPECT_EQ(3, t[2].line);
    EXPECT_EQ("y", t[3].text);
}

TEST_F(Lexer, QuotesInsideWordsAreOrdinary)
{
    auto t = tokens("it's");
    ASSERT_EQ(1u, t.size());
    EXPECT_EQ("it's", t[0].text);
}

TEST_F(Lexer, UnbalancedQuoteReportsTheLastLine)
{
    auto t = tokens("monitor 'abc\n\ndef");
    ASSERT_EQ(1u, t.size());
    EXPECT_TRUE(log.has(path + ":3: unbalanced \"'\"")) << log.dump();
    tokens("\"x\n");
    EXPECT_TRUE(log.has(path + ":2: unbalanced '\"'")) << log.dump();
}

TEST_F(Lexer, WordOnSecondLineAfterEmptyFirstLine)
{
    auto t = tokens("\nab cd");
    ASSERT_EQ(2u, t.size());
    EXPECT_EQ(2, t[0].line);
}

TEST_F(Lexer, UngetReturnsTheSameToken)
{
    path = dir.write("conf", "every 10 x");
    lexer *lx = lexer_open(path.c_str());
    ASSERT_EQ(1, lexer_next(lx));
    ASSERT_EQ(1, lexer_next(lx));
    int line = lx->line;
    lexer_unget(lx);
    lexer_unget(lx);
    ASSERT_EQ(1, lexer_next(lx));
    EXPECT_EQ(KIND_NUMBER, lx->kind);
    EXPECT_EQ(10, lx->value);
    EXPECT_STREQ("10", lx->token);
    EXPECT_EQ(line, lx->line);
    ASSERT_EQ(1, lexer_next(lx));
    EXPECT_STREQ("x", lx->token);
    // The last word ran into the end of the file: a pushed-back token is
    // not reported again, but it stays current.
    lexer_unget(lx);
    EXPECT_EQ(0, lexer_next(lx));
    EXPECT_STREQ("x", lx->token);
    lexer_close(lx);
}

TEST_F(Lexer, EmptyAndCommentOnlyFilesEndAtOnce)
{
    EXPECT_TRUE(tokens("").empty());
    EXPECT_TRUE(tokens("   \n\t# only a comment\n# another").empty());
    EXPECT_TRUE(tokens("# no newline at the end").empty());
}

TEST_F(Lexer, TokensSpanBlockBoundaries)
{
    std::string text(2045, ' ');
    text += "monitor";
    auto t = tokens(text);
    ASSERT_EQ(1u, t.size());
    EXPECT_EQ(TOK_MONITOR, t[0].code);
}

TEST_F(Lexer, UnopenableFileWarns)
{
    EXPECT_EQ(nullptr, lexer_open("/nonexistent/conf"));
    EXPECT_TRUE(log.has("could not open file \"/nonexistent/conf\":No such file or directory"));
    lexer_close(nullptr);
    lexer_unget(nullptr);
    EXPECT_EQ(0, lexer_next(nullptr));
}

TEST_F(Lexer, ExpectedCutsTheFoundTokenToEightCharacters)
{
    path = dir.write("conf", "\nabcdefghijkl");
    lexer *lx = lexer_open(path.c_str());
    lexer_next(lx);
    lexer_expected(lx, "monitor");
    EXPECT_TRUE(log.has(path + ":2: expected 'monitor' found 'abcdefgh'")) << log.dump();
    lexer_close(lx);
}

TEST_F(Lexer, KeywordTableLookups)
{
    EXPECT_STREQ("if", keyword_name(TOK_IF));
    EXPECT_STREQ("{", keyword_name(TOK_LBRACE));
    EXPECT_EQ(nullptr, keyword_name(99));
    EXPECT_EQ(TOK_NONE, keyword_lookup("nothing"));
    EXPECT_EQ(TOK_WRITE, keyword_lookup("WRITE"));
}

// The table is built from the grammars' words and the catalogue's stream
// keywords: these are its 49 rows, in order, with their codes.
TEST(KeywordTable, BuiltFromWordsAndCatalogueInTheirFortyNineRows)
{
    const struct {
        const char *text;
        int code;
    } rows[] = {
        {"{", 2},       {"}", 10},      {"(", 25},       {")", 3},       {",", 4},
        {"accept", 1},  {"cpu", 5},     {"cpuiow", 6},   {"datadir", 7}, {"debug", 8},
        {"df", 9},      {"every", 11},  {"flukso", 12},  {"from", 13},   {"if", 14},
        {"if1", 15},    {"if2", 14},    {"in", 16},      {"io", 17},     {"io1", 18},
        {"io2", 17},    {"key", 38},    {"load", 19},   {"mbuf", 20},    {"mem", 21},    {"mem1", 22},
        {"mem2", 21},   {"monitor", 23}, {"mux", 24},    {"pf", 26},     {"pfq", 27},
        {"port", 28},   {"proc", 29},   {"second", 30},  {"seconds", 31}, {"sensor", 32},
        {"smart", 33},  {"source", 34}, {"stream", 35},  {"to", 36},     {"write", 37},
        {"zfs", 39},
        {"include", 40}, {"all", 41},   {"create", 42},  {"max", 43},    {"files", 44},
        {"step", 45},   {"discover", 46},
    };
    int first_row[64] = {};
    for (const auto &r : rows) {
        EXPECT_EQ(r.code, keyword_lookup(r.text)) << r.text;
        if (first_row[r.code]++ == 0) {
            EXPECT_STREQ(r.text, keyword_name(r.code)) << r.code;
        }
    }
    // No other code names a keyword.
    for (int code = 0; code < 64; code++)
        if (first_row[code] == 0) {
            EXPECT_EQ(nullptr, keyword_name(code)) << code;
        }
}

TEST_F(Lexer, NumberTooLargeEndsTheProcess)
{
    path = dir.write("conf", "monitor\n65536");
    EXPECT_EXIT((daemonized = 0, tokens("monitor\n65536")), ::testing::ExitedWithCode(1),
                "fatal: .*conf:2: parse error at '65536': number too large");
}

TEST_F(Lexer, OverlongTokenEndsTheProcess)
{
    std::string word(2048, 'w');
    EXPECT_EXIT((daemonized = 0, tokens(word)), ::testing::ExitedWithCode(1), "fatal: .*conf:1: parse error at 'www");
    EXPECT_EQ(1u, tokens(std::string(2047, 'w')).size());
}

} // namespace

namespace {

// Reading anew, a passed limit is a failed read with the same message.
TEST_F(Lexer, LimitsOnReloadAreFailedReadsNotTheEnd)
{
    lexer_limits_fatal = 0;
    for (const std::string &text : {std::string("monitor 65536 load"), std::string(2048, 'w') + " load"}) {
        log.clear();
        auto read = tokens(text);
        EXPECT_EQ(text[0] == 'm' ? 1u : 0u, read.size()) << "nothing after the limit";
        EXPECT_TRUE(log.contains("conf:1: parse error at '")) << log.dump();
    }
    lexer_limits_fatal = 1;
}

TEST_F(Lexer, OnlyRegularFilesOfSaneSizeAreRead)
{
    EXPECT_EQ(nullptr, lexer_open("/dev/zero"));
    EXPECT_TRUE(log.has("could not open file \"/dev/zero\":not a regular file"));
    EXPECT_EQ(nullptr, lexer_open(dir.path().c_str()));
    std::string big = dir.write("big", "");
    ASSERT_EQ(0, truncate(big.c_str(), LEXER_FILE_MAX + 1));
    EXPECT_EQ(nullptr, lexer_open(big.c_str()));
    EXPECT_TRUE(log.contains(":larger than 16 MiB"));
}

} // namespace

namespace {

// Statements through includes: the words read, "|" for the failure of an
// include, and what was told.
TEST_F(Lexer, IncludesReadInPlaceOrTold)
{
    dir.write("d/2.conf", "two");
    dir.write("d/1.conf", "one 'x\ny'");
    dir.write("loop.conf", "include \"loop.conf\"");
    const struct {
        const char *text, *read, *told;
    } cases[] = {
        {"a include \"d/*.conf\" b", "a one x\ny two b ", nullptr},
        {"a include 'none/*.conf' b", "a b ",
         "conf:1: include \"DIR/none/*.conf\" names no file: No such file or directory"},
        {"a include 'd/*.none' b", "a b ", nullptr},
        {"a include 'nope.conf' b", "a |",
         "conf:1: cannot include \"DIR/nope.conf\": No such file or directory - correct the path"},
        {"include 'loop.conf'", "|",
         "DIR/loop.conf:1: cannot include \"DIR/loop.conf\": it is being read already: the "
         "includes go round in a loop"},
        {"a include", "a |", "conf:1: expected '<file name>' found 'include'"},
    };
    for (const auto &c : cases) {
        path = dir.write("conf", c.text);
        log.clear();
        lexer *lx = lexer_open(path.c_str());
        std::string read;
        for (int next; (next = next_statement(lx)) != 0;) {
            read += next < 0 ? "|" : std::string(lx->token) + " ";
            if (next < 0)
                break;
        }
        lexer_close(lx);
        EXPECT_EQ(c.read, read) << c.text;
        std::string told = c.told ? c.told : "";
        for (size_t at; (at = told.find("DIR")) != std::string::npos;)
            told.replace(at, 3, dir.path());
        if (c.told)
            EXPECT_TRUE(log.contains(told)) << c.text << "\n" << log.dump();
        else
            EXPECT_TRUE(log.lines().empty()) << c.text << "\n" << log.dump();
    }
}

} // namespace
