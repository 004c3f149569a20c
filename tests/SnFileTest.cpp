#include "SnFile.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <unistd.h>

namespace {

class SnFile : public ::testing::Test {
protected:
    void SetUp() override { ResetSnLines(); }
    void TearDown() override
    {
        std::remove(m_path.c_str());
        ResetSnLines();
    }
    bool Read(const std::string& content)
    {
        std::ofstream(m_path, std::ios::binary) << content;
        return ReadSnFile(m_path);
    }
    std::string m_path = "/tmp/pello-sn-" + std::to_string(::getpid()) + ".txt";
};

} // namespace

TEST_F(SnFile, MissingFileLeavesTheBuffers)
{
    EXPECT_FALSE(ReadSnFile("/tmp/no-such-dir/SN.txt"));
    EXPECT_STREQ(g_szSerialLine, "1400000000000000000000");
    EXPECT_STREQ(g_szPabcLine, "00000000_000");
}

TEST_F(SnFile, CrLfReadsLikeLf)
{
    ASSERT_TRUE(Read("0812345678ABCDEFGHIJKL\r\nABCDEFGH_123\r\n"));
    EXPECT_STREQ(g_szSerialLine, "0812345678ABCDEFGHIJKL");
    EXPECT_STREQ(g_szPabcLine, "ABCDEFGH_123");
    EXPECT_EQ(ValidateSnLines(), "");
    ASSERT_TRUE(Read("0812345678ABCDEFGHIJKL\nABCDEFGH_123"));
    EXPECT_STREQ(g_szPabcLine, "ABCDEFGH_123");
}

TEST_F(SnFile, LongLinesAreCutAndTheirRestSkipped)
{
    ASSERT_TRUE(Read("0812345678ABCDEFGHIJKLMNOPQRSTUVWXYZ\nABCDEFGH_1234567\nthird\n"));
    EXPECT_STREQ(g_szSerialLine, "0812345678ABCDEFGHIJKLM"); // 23 characters kept
    EXPECT_STREQ(g_szPabcLine, "ABCDEFGH_1234");
    EXPECT_EQ(ValidateSnLines(), "");
    // One long line: there is no line 2.
    ASSERT_TRUE(Read(std::string(10000, 'A')));
    EXPECT_EQ(ValidateSnLines(), "Invalid SN.txt: line 2 needs 12 characters");
}

TEST_F(SnFile, ShortLinesAreRefused)
{
    ASSERT_TRUE(Read(""));
    EXPECT_EQ(ValidateSnLines(), "Invalid SN.txt: line 1 needs 22 characters");
    ASSERT_TRUE(Read("081234\nABCDEFGH_123\n"));
    EXPECT_EQ(ValidateSnLines(), "Invalid SN.txt: line 1 needs 22 characters");
    // Bytes behind the NUL keep the earlier content; they are not used.
    EXPECT_EQ(std::memcmp(g_szSerialLine, "081234\0" "000000000000000", 22), 0);
    ASSERT_TRUE(Read("0812345678ABCDEFGHIJKL\n"));
    EXPECT_EQ(ValidateSnLines(), "Invalid SN.txt: line 2 needs 12 characters");
}

TEST_F(SnFile, OnlyPrintableAscii)
{
    ASSERT_TRUE(Read("\xEF\xBB\xBF" "0812345678ABCDEFGHIJKL\nABCDEFGH_123\n")); // UTF-8 BOM
    EXPECT_EQ(ValidateSnLines(), "Invalid SN.txt: only printable ASCII characters are allowed");
    ASSERT_TRUE(Read("0812345678ABCDEFGHIJKL\nABCDEFGH\t123\n"));
    EXPECT_EQ(ValidateSnLines(), "Invalid SN.txt: only printable ASCII characters are allowed");
    ASSERT_TRUE(Read("0812345678ABCDEFGHI\rKL\nABCDEFGH_123\n")); // a lone CR is not a line end
    EXPECT_EQ(ValidateSnLines(), "Invalid SN.txt: only printable ASCII characters are allowed");
}
