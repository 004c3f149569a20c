#include "link/PortNames.h"
#include "tests/support/TestEnv.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

using namespace pello;

namespace fs = std::filesystem;

namespace {

class PortNames : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_root = MakeScratchDir("ports");
        m_user = m_root + "/user";
        m_dev = m_root + "/dev";
        ::mkdir(m_user.c_str(), 0700);
        ::mkdir(m_dev.c_str(), 0755);
    }
    void TearDown() override { fs::remove_all(m_root); }
    std::string m_root, m_user, m_dev;
};

} // namespace

TEST_F(PortNames, FixedTableWhenNoLinks)
{
    CPortResolver r(m_user, m_dev);
    EXPECT_EQ(r.Resolve("COM0").path, "/dev/ttyUSB0");
    EXPECT_EQ(r.Resolve("COM3").path, "/dev/ttyUSB3");
    EXPECT_EQ(r.Resolve("COM4").path, "/dev/ttyACM0");
    EXPECT_EQ(r.Resolve("COM5").path, "/dev/ttyACM1");
    EXPECT_EQ(r.Resolve("COM6").path, "/dev/ttyS0");
    EXPECT_EQ(r.Resolve("COM9").path, "/dev/ttyS3");
    EXPECT_EQ(r.Resolve("COM9").source, PortSource::FixedTable);
    EXPECT_EQ(r.Resolve("/dev/pts/7").path, "/dev/pts/7");
    EXPECT_EQ(r.Resolve("/dev/pts/7").source, PortSource::Path);
    EXPECT_EQ(r.Resolve("com1").source, PortSource::Path); // case matters
}

TEST_F(PortNames, OrderIsAliasUserLinkDevLinkTable)
{
    ::symlink("/dev/pts/1", (m_dev + "/COM2").c_str());
    CPortResolver r(m_user, m_dev);
    EXPECT_EQ(r.Resolve("COM2").path, m_dev + "/COM2");
    ::symlink("/dev/pts/2", (m_user + "/COM2").c_str());
    EXPECT_EQ(r.Resolve("COM2").path, m_user + "/COM2");
    EXPECT_EQ(r.Resolve("COM2").source, PortSource::UserLink);
    r.SetAlias(2, "/dev/pts/9");
    EXPECT_EQ(r.Resolve("COM2").path, "/dev/pts/9");
    EXPECT_EQ(r.Resolve("COM1").path, "/dev/ttyUSB1");
}

TEST_F(PortNames, UntrustedUserDirIsIgnored)
{
    ::symlink("/dev/pts/2", (m_user + "/COM1").c_str());
    ::chmod(m_user.c_str(), 0777);
    CPortResolver r(m_user, m_dev);
    EXPECT_EQ(r.Resolve("COM1").path, "/dev/ttyUSB1");
    ::chmod(m_user.c_str(), 0700);
    EXPECT_EQ(r.Resolve("COM1").path, m_user + "/COM1");
    // A symlink in place of the directory is not trusted either.
    const std::string linkDir = m_root + "/linkdir";
    ::symlink(m_user.c_str(), linkDir.c_str());
    EXPECT_FALSE(CPortResolver::TrustedUserDir(linkDir));
}
