#include "core/SnFile.h"

#include "tests/support/TestEnv.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

using namespace pello;

namespace {

class SnFile : public ::testing::Test {
protected:
    // Reads `content` through the line buffers, which keep what earlier reads left.
    SnLinesRead Read(const std::string& content)
    {
        std::ofstream(m_path, std::ios::binary) << content;
        m_read = ReadSnLines(m_path, m_serial, sizeof m_serial, m_code, sizeof m_code);
        return m_read;
    }
    FieldCheck Check() const { return CheckSnLines(m_read, FieldsFromLines(m_serial, m_code, m_read)); }
    SnFileRead Fields(const std::string& content)
    {
        std::ofstream(m_path, std::ios::binary) << content;
        return ReadSnFields(m_path);
    }
    std::string Message(const std::string& content)
    {
        const SnFileRead r = Fields(content);
        return SnFileMessage(r.lines, r.check);
    }

    std::string m_dir = MakeScratchDir("sn");
    std::string m_path = m_dir + "/SN.txt";
    char m_serial[24] = "1400000000000000000000";
    char m_code[14] = "00000000_000";
    SnLinesRead m_read;
};

} // namespace

TEST_F(SnFile, WhatCannotBeOpenedLeavesTheBuffers)
{
    SnLinesRead r = ReadSnLines(m_path + ".missing", m_serial, sizeof m_serial, m_code, sizeof m_code);
    EXPECT_EQ(r.error, SnOpenError::CannotOpen);
    EXPECT_EQ(SnOpenReason(r), "No such file or directory");
    // Never read, and never waited on: a directory, a FIFO nobody writes, a
    // link to an endless device.
    const std::string fifo = m_dir + "/fifo", zero = m_dir + "/zero";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    ASSERT_EQ(::symlink("/dev/zero", zero.c_str()), 0);
    for (const std::string& path : {m_dir, fifo, zero}) {
        r = ReadSnLines(path, m_serial, sizeof m_serial, m_code, sizeof m_code);
        EXPECT_EQ(r.error, SnOpenError::NotRegularFile) << path;
        EXPECT_EQ(SnOpenReason(r), "not a regular file");
    }
    EXPECT_STREQ(m_serial, "1400000000000000000000");
    EXPECT_STREQ(m_code, "00000000_000");
}

TEST_F(SnFile, CrLfReadsLikeLf)
{
    const SnFileRead r = Fields("0812345678ABCDEFGHIJKL\r\nABCDEFGH_123\r\n");
    EXPECT_EQ(r.fields.serial, "0812345678ABCDEFGHIJKL");
    EXPECT_EQ(r.fields.code, "ABCDEFGH_123");
    EXPECT_TRUE(r.Valid());
    EXPECT_EQ(Fields("0812345678ABCDEFGHIJKL\nABCDEFGH_123").fields.code, "ABCDEFGH_123");
}

TEST_F(SnFile, LongLinesAreRefusedAndTheReadIsBounded)
{
    // A line longer than its field is a number nobody wrote: never cut to fit.
    Read("0812345678ABCDEFGHIJKLM\nABCDEFGH_123\nthird\n");
    EXPECT_STREQ(m_serial, "0812345678ABCDEFGHIJKLM"); // stored, but not programmed
    EXPECT_EQ(Check().problem, FieldProblem::SerialLength);
    EXPECT_EQ(Message("0812345678ABCDEFGHIJKLM\nABCDEFGH_123\n"), "Invalid SN.txt: line 1 has 23 characters, needs 22");
    EXPECT_EQ(Message("0812345678ABCDEFGHIJKL\nABCDEFGH_1234567\n"), "Invalid SN.txt: line 2 has 16 characters, needs 12");
    // Spaces and tabs that pad a line past its field are ignored; inside it they count.
    EXPECT_TRUE(Fields("0812345678ABCDEFGHIJKL \t \r\nABCDEFGH_123\t\n").Valid());
    EXPECT_EQ(Fields("0812345678ABCDEFGHIJK \nABCDEFGH_123\n").fields.serial, "0812345678ABCDEFGHIJK ");
    // One long line: there is no line 2.
    EXPECT_EQ(Fields(std::string(1000, 'A')).check.problem, FieldProblem::SerialLength);
    // A line that does not end within the bound is refused, however long.
    EXPECT_EQ(Message(std::string(10 * 1024 * 1024, 'A') + "\nABCDEFGH_123\n"),
              "Invalid SN.txt: line 1 is longer than 4096 bytes");
    EXPECT_EQ(Message("0812345678ABCDEFGHIJKL\nABCDEFGH_123" + std::string(8000, 'x')),
              "Invalid SN.txt: line 2 is longer than 4096 bytes");
}

TEST_F(SnFile, ShortLinesAndBadBytesSayWhatIsWrong)
{
    EXPECT_EQ(Message(""), "Invalid SN.txt: line 1 has 0 characters, needs 22");
    Read("081234\nABCDEFGH_123\n");
    EXPECT_EQ(Check().problem, FieldProblem::SerialLength);
    // Bytes behind the NUL keep the earlier content; they are not used.
    EXPECT_EQ(std::memcmp(m_serial, "081234\0" "000000000000000", 22), 0);
    EXPECT_EQ(Message("0812345678ABCDEFGHIJKL\n"), "Invalid SN.txt: line 2 has 0 characters, needs 12");
    EXPECT_EQ(Message(std::string("0812345678ABC\0EFGHIJKL\nABCDEFGH_123\n", 36)),
              "Invalid SN.txt: line 1, character 14 is 0x00; only printable ASCII characters are allowed");
    EXPECT_EQ(Fields("\xEF\xBB\xBF" "0812345678ABCDEFGHIJKL\nABCDEFGH_123\n").check.problem, // UTF-8 BOM
              FieldProblem::SerialByte);
    EXPECT_EQ(Message("0812345678ABCDEFGHIJKL\nABCDEFGH\t123\n"),
              "Invalid SN.txt: line 2, character 9 is 0x09; only printable ASCII characters are allowed");
    // A lone CR is not a line end.
    EXPECT_EQ(Fields("0812345678ABCDEFGHI\rKL\nABCDEFGH_123\n").check.position, 20u);
}
