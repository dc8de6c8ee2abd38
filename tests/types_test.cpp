// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
#include <gtest/gtest.h>

#include "lexer.h"
#include "types.h"

namespace {

TEST(Types, WidthsAreComputedFromTheTables)
{
    EXPECT_EQ(40, stream_type_text_width(STREAM_CPU));
    EXPECT_EQ(10, stream_type_byte_width(STREAM_CPU));
    EXPECT_EQ(484, stream_type_text_width(STREAM_PF));
    EXPECT_EQ(176, stream_type_byte_width(STREAM_PF));
    EXPECT_EQ(308, stream_type_text_width(STREAM_ALLFORMATS));
    EXPECT_EQ(100, stream_type_byte_width(STREAM_ALLFORMATS));
    int widest = 0;
    for (int t = 0; t < STREAM_TYPE_COUNT; t++)
        widest = std::max(widest, stream_type_byte_width(t));
    EXPECT_EQ(176, widest);
    EXPECT_STREQ("LLLLDDDDllllssssccccbbbb", stream_type_format(STREAM_ALLFORMATS));
}

TEST(Types, SynonymsShareTypeAndName)
{
    EXPECT_EQ(STREAM_IF, stream_type_from_token(keyword_lookup("if2")));
    EXPECT_STREQ("if", stream_type_name(STREAM_IF));
    EXPECT_EQ(STREAM_IO, stream_type_from_token(keyword_lookup("io2")));
    EXPECT_STREQ("io", stream_type_name(STREAM_IO));
    EXPECT_EQ(STREAM_MEM, stream_type_from_token(keyword_lookup("mem2")));
    EXPECT_STREQ("mem", stream_type_name(STREAM_MEM));
    EXPECT_EQ(STREAM_IF1, stream_type_from_token(TOK_IF1));
    EXPECT_STREQ("if1", stream_type_name(STREAM_IF1));
}

TEST(Types, EveryKeywordTypeRoundTrips)
{
    int stream_tokens = 0;
    // Every code a keyword could have, a new stream keyword's too.
    for (int code = 0; code < 256; code++) {
        if (!token_is_stream_type(code))
            continue;
        stream_tokens++;
        int type = stream_type_from_token(code);
        EXPECT_EQ(code, keyword_lookup(stream_type_name(type)));
    }
    EXPECT_EQ(19, stream_tokens);
}

TEST(Types, NarrowTypesTravelWide)
{
    EXPECT_EQ(STREAM_IO, stream_send_type(STREAM_IO1));
    EXPECT_EQ(STREAM_MEM, stream_send_type(STREAM_MEM1));
    EXPECT_EQ(STREAM_IF, stream_send_type(STREAM_IF1));
    EXPECT_EQ(STREAM_LOAD, stream_send_type(STREAM_LOAD));
}

TEST(TypesDeath, TableMissesEndTheProcess)
{
    EXPECT_EXIT(stream_type_name(STREAM_ALLFORMATS), ::testing::ExitedWithCode(1),
                "internal error: type \\(18\\) could not be translated into ascii representation");
    EXPECT_EXIT(stream_type_from_token(TOK_STREAM), ::testing::ExitedWithCode(1),
                "internal error: token \\(35\\) could not be translated into a stream type");
    EXPECT_EXIT(value_byte_width('x'), ::testing::ExitedWithCode(1),
                "types.cpp:[0-9]+: internal error: type spefication for stream var 'x' not found");
    EXPECT_EXIT(value_field_format('x'), ::testing::ExitedWithCode(1),
                "fatal: internal error: type spefication for stream var 'x' not found");
}

} // namespace
