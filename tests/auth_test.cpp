// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// The authenticator against the documented test vector, every byte of a
// signed datagram flipped and every length cut, and the key file checks.
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "auth.h"
#include "codec.h"
#include "crc32.h"
#include "hex.h"
#include "keyfile.h"
#include "log_capture.h"
#include "packet.h"
#include "temp_dir.h"

namespace {

// docs/protocol.md: key 00 01 .. 1f; a load stream (0.15, 0.10, 0.05) at
// 1700000000; boot identifier 0123456789abcdef, sequence number 7.
const char VECTOR_KEY[] = "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f";
const char VECTOR_PACKET[] = "535c402c000000006553f1000017021000000f000a0005"
                             "010123456789abcdef0000000000000007"
                             "4f810ea528f9a7a81417e91548b666ed";
const int VECTOR_LENGTH = 23;

struct Auth : ::testing::Test {
    auth_key *key = nullptr;
    void SetUp() override
    {
        crc32_init_table();
        key = auth_key_new(hex(VECTOR_KEY).data());
    }
    ~Auth() override { auth_key_free(key); }

    // As the receiver reads it: CRC bytes zero.
    static std::vector<uint8_t> zero_crc(std::vector<uint8_t> p)
    {
        memset(p.data(), 0, 4);
        return p;
    }
};

TEST_F(Auth, SignsTheDocumentedVector)
{
    std::vector<uint8_t> expected = hex(VECTOR_PACKET);
    // Header and records as probo packs them, CRC bytes zero while signing.
    std::vector<uint8_t> p(expected.size());
    packet_header h = {1700000000, 0, VECTOR_LENGTH, 2};
    header_to_wire(p.data(), &h);
    ASSERT_EQ(8, pack_stream(p.data() + 15, 9, "", 16, 0.15, 0.10, 0.05));
    authenticator a = {AUTH_KIND_HMAC_SHA256_128, {0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef}, 7};
    auth_sign(key, p.data(), VECTOR_LENGTH, &a);
    h.crc = crc32_compute(p.data(), p.size());
    header_to_wire(p.data(), &h);
    EXPECT_EQ(VECTOR_PACKET, hex(p.data(), p.size()));

    authenticator read = {};
    std::vector<uint8_t> received = zero_crc(expected);
    ASSERT_EQ(AUTH_OK, auth_verify(key, received.data(), VECTOR_LENGTH, 56, &read));
    EXPECT_EQ(7u, read.sequence);
    EXPECT_EQ("0123456789abcdef", hex(read.boot, sizeof(read.boot)));
}

TEST_F(Auth, EveryFlippedByteAndEveryCutIsRefusedForItsReason)
{
    std::vector<uint8_t> good = zero_crc(hex(VECTOR_PACKET));
    authenticator a;
    // The CRC bytes are the receiver's zeros; any other bit is covered.
    for (size_t i = 4; i < good.size(); i++)
        for (int bit = 0; bit < 8; bit++) {
            std::vector<uint8_t> bad = good;
            bad[i] ^= static_cast<uint8_t>(1 << bit);
            int expected = i == VECTOR_LENGTH + AUTH_KIND ? AUTH_MALFORMED : AUTH_BAD_MAC;
            ASSERT_EQ(expected, auth_verify(key, bad.data(), VECTOR_LENGTH, 56, &a)) << i << " " << bit;
        }
    EXPECT_EQ(AUTH_MISSING, auth_verify(key, good.data(), VECTOR_LENGTH, VECTOR_LENGTH, &a));
    EXPECT_EQ(AUTH_MISSING, auth_verify(key, good.data(), VECTOR_LENGTH, VECTOR_LENGTH - 3, &a));
    for (int n = VECTOR_LENGTH + 1; n < 56; n++)
        EXPECT_EQ(AUTH_MALFORMED, auth_verify(key, good.data(), VECTOR_LENGTH, n, &a)) << n;
    good.push_back(0);
    EXPECT_EQ(AUTH_MALFORMED, auth_verify(key, good.data(), VECTOR_LENGTH, 57, &a));
    // Another key: the MAC no longer holds.
    std::vector<uint8_t> other_key = hex(VECTOR_KEY);
    other_key[31] ^= 1;
    auth_key *other = auth_key_new(other_key.data());
    EXPECT_EQ(AUTH_BAD_MAC, auth_verify(other, good.data(), VECTOR_LENGTH, 56, &a));
    auth_key_free(other);
}

TEST(KeyFile, ReadsHexDigitsAndRefusesEachFault)
{
    temp_dir dir;
    log_capture log;
    std::string digits = VECTOR_KEY;
    std::string upper = digits;
    for (char &c : upper)
        c = static_cast<char>(toupper(c));
    struct row {
        const char *name;
        std::string text;
        mode_t mode;
        const char *complaint; // null: read
    } rows[] = {
        {"plain", digits, 0600, nullptr},
        {"newline", digits + "\n", 0400, nullptr},
        {"upper", upper + "\n", 0600, nullptr},
        {"group", digits, 0640, "is open to group or others (mode 640): make it 0600 or 0400"},
        {"others", digits, 0602, "is open to group or others (mode 602): make it 0600 or 0400"},
        {"short", digits.substr(1), 0600, "does not hold 64 hexadecimal digits on one line"},
        {"long", digits + "0", 0600, "does not hold 64 hexadecimal digits on one line"},
        {"two lines", digits + "\n\n", 0600, "does not hold 64 hexadecimal digits on one line"},
        {"not hex", "g" + digits.substr(1), 0600, "does not hold 64 hexadecimal digits on one line"},
        {"empty", "", 0600, "does not hold 64 hexadecimal digits on one line"},
    };
    for (const row &r : rows) {
        std::string path = dir.write(r.name, r.text);
        chmod(path.c_str(), r.mode);
        uint8_t key[KEY_SIZE] = {};
        log.clear();
        int ok = read_key_file(path.c_str(), key, "conf", 3);
        if (r.complaint == nullptr) {
            EXPECT_EQ(1, ok) << r.name << log.dump();
            EXPECT_EQ(hex(VECTOR_KEY), std::vector<uint8_t>(key, key + KEY_SIZE)) << r.name;
        } else {
            EXPECT_EQ(0, ok) << r.name;
            EXPECT_TRUE(log.has("conf:3: key file '" + path + "' " + r.complaint)) << r.name << log.dump();
            EXPECT_EQ(std::vector<uint8_t>(KEY_SIZE), std::vector<uint8_t>(key, key + KEY_SIZE)) << r.name;
        }
    }
    log.clear();
    uint8_t key[KEY_SIZE];
    EXPECT_EQ(0, read_key_file(dir.path().c_str(), key, "conf", 4));
    EXPECT_TRUE(log.has("conf:4: key file '" + dir.path() + "' is not a regular file")) << log.dump();
    EXPECT_EQ(nullptr, load_key_file(dir.file("missing").c_str(), "conf", 5));
    EXPECT_TRUE(log.has("conf:5: cannot open key file '" + dir.file("missing") +
                        "': No such file or directory"));
    // The key itself is never logged.
    for (const logged &l : log.lines())
        EXPECT_EQ(std::string::npos, l.text.find("0001020304")) << l.text;
}

} // namespace
