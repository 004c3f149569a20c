#include "core/SnFile.h"

#include "tests/support/TestEnv.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>

using namespace pello;

namespace {

class SnFile : public ::testing::Test {
protected:
    // Reads `content` through the line buffers, which keep what earlier reads left.
    bool Read(const std::string& content)
    {
        std::ofstream(m_path, std::ios::binary) << content;
        return ReadSnLines(m_path, m_serial, sizeof m_serial, m_code, sizeof m_code);
    }
    FieldProblem Problem() const { return CheckFields(FieldsFromLines(m_serial, m_code)); }
    SnFileRead Fields(const std::string& content)
    {
        std::ofstream(m_path, std::ios::binary) << content;
        return ReadSnFields(m_path);
    }

    std::string m_path = MakeScratchDir("sn") + "/SN.txt";
    char m_serial[24] = "1400000000000000000000";
    char m_code[14] = "00000000_000";
};

} // namespace

TEST_F(SnFile, MissingFileLeavesTheBuffers)
{
    EXPECT_FALSE(ReadSnLines(m_path + ".missing", m_serial, sizeof m_serial, m_code, sizeof m_code));
    EXPECT_STREQ(m_serial, "1400000000000000000000");
    EXPECT_STREQ(m_code, "00000000_000");
    EXPECT_FALSE(ReadSnFields(m_path + ".missing").opened);
}

TEST_F(SnFile, CrLfReadsLikeLf)
{
    const SnFileRead r = Fields("0812345678ABCDEFGHIJKL\r\nABCDEFGH_123\r\n");
    EXPECT_EQ(r.fields.serial, "0812345678ABCDEFGHIJKL");
    EXPECT_EQ(r.fields.code, "ABCDEFGH_123");
    EXPECT_EQ(r.problem, FieldProblem::None);
    EXPECT_EQ(Fields("0812345678ABCDEFGHIJKL\nABCDEFGH_123").fields.code, "ABCDEFGH_123");
}

TEST_F(SnFile, LongLinesAreCutAndTheirRestSkipped)
{
    ASSERT_TRUE(Read("0812345678ABCDEFGHIJKLMNOPQRSTUVWXYZ\nABCDEFGH_1234567\nthird\n"));
    EXPECT_STREQ(m_serial, "0812345678ABCDEFGHIJKLM"); // 23 characters kept
    EXPECT_STREQ(m_code, "ABCDEFGH_1234");
    EXPECT_EQ(Problem(), FieldProblem::None);
    EXPECT_EQ(FieldsFromLines(m_serial, m_code).serial, "0812345678ABCDEFGHIJKL");
    // One long line: there is no line 2.
    EXPECT_EQ(Fields(std::string(10000, 'A')).problem, FieldProblem::CodeShort);
}

TEST_F(SnFile, ShortLinesAreRefused)
{
    EXPECT_EQ(Fields("").problem, FieldProblem::SerialShort);
    ASSERT_TRUE(Read("081234\nABCDEFGH_123\n"));
    EXPECT_EQ(Problem(), FieldProblem::SerialShort);
    // Bytes behind the NUL keep the earlier content; they are not used.
    EXPECT_EQ(std::memcmp(m_serial, "081234\0" "000000000000000", 22), 0);
    EXPECT_EQ(Fields("0812345678ABCDEFGHIJKL\n").problem, FieldProblem::CodeShort);
    EXPECT_EQ(SnFileMessage(FieldProblem::SerialShort), "Invalid SN.txt: line 1 needs 22 characters");
}

TEST_F(SnFile, OnlyPrintableAscii)
{
    EXPECT_EQ(Fields("\xEF\xBB\xBF" "0812345678ABCDEFGHIJKL\nABCDEFGH_123\n").problem, // UTF-8 BOM
              FieldProblem::SerialNotPrintable);
    EXPECT_EQ(Fields("0812345678ABCDEFGHIJKL\nABCDEFGH\t123\n").problem, FieldProblem::CodeNotPrintable);
    // A lone CR is not a line end.
    EXPECT_EQ(Fields("0812345678ABCDEFGHI\rKL\nABCDEFGH_123\n").problem, FieldProblem::SerialNotPrintable);
    EXPECT_EQ(SnFileMessage(FieldProblem::CodeNotPrintable),
              "Invalid SN.txt: only printable ASCII characters are allowed");
}
