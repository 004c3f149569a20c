#include "tests/support/FakeClock.h"
#include "tests/support/PtyDevice.h"
#include "link/Serial.h"
#include "tests/support/TestEnv.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fcntl.h>
#include <cstring>
#include <termios.h>
#include <unistd.h>

using namespace pello;

namespace {

constexpr uint8_t kAck[] = {'(', 'A', 'C', 'K', 0x39, 0x20, 0x0D};

void PutOnLine(const CPtyDevice& dev, const void* data, size_t n) { ASSERT_TRUE(WriteAll(dev.Master(), data, n)); }

bool AllZero(const uint8_t* p, size_t n)
{
    for (size_t i = 0; i < n; ++i) {
        if (p[i] != 0) return false;
    }
    return true;
}

class Serial : public ::testing::Test {
protected:
    CPtyDevice m_dev;
    CFakeClock m_clock;
    CComLink m_link {nullptr, &m_clock};
    uint8_t m_buf[256];

    void OpenPort() { ASSERT_EQ(m_link.Open(m_dev.Path().c_str(), 2400, 8, 0, 2), 1); }
};

} // namespace

TEST_F(Serial, OpenCloseLifecycle)
{
    CComLink link;
    EXPECT_EQ(link.Open("/dev/does-not-exist", 2400, 8, 0, 2), 0);
    EXPECT_EQ(link.m_bOpened, 0);
    EXPECT_EQ(link.Close(), 0);
    EXPECT_EQ(link.m_strPort, "");

    ASSERT_EQ(link.Open(m_dev.Path().c_str(), 2400, 8, 0, 2), 1);
    EXPECT_EQ(link.m_bOpened, 1);
    EXPECT_EQ(link.Close(), 1);
    EXPECT_EQ(link.m_bOpened, 0);
    EXPECT_EQ(link.m_strPort, m_dev.Path());
    EXPECT_EQ(link.Close(), 0);
    // Reusable for another cycle.
    EXPECT_EQ(link.Open(m_dev.Path().c_str(), 2400, 8, 0, 2), 1);
}

TEST_F(Serial, NotATtyFailsAndHoldsNothing)
{
    const std::string plain = MakeScratchDir("notatty") + "/file";
    CUniqueFd f(::open(plain.c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0600));
    CComLink link;
    EXPECT_EQ(link.Open(plain.c_str(), 2400, 8, 0, 2), 0);
    EXPECT_EQ(link.m_bOpened, 0);
    EXPECT_FALSE(link.m_hComm.Valid());
}

TEST_F(Serial, LineSettingsAreRawTwoStopBits)
{
    OpenPort();
    termios tio {};
    ASSERT_EQ(::tcgetattr(m_link.Fd(), &tio), 0);
    EXPECT_EQ(::cfgetospeed(&tio), B2400);
    EXPECT_EQ(::cfgetispeed(&tio), B2400);
    EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_TRUE(tio.c_cflag & CSTOPB);
    EXPECT_FALSE(tio.c_cflag & PARENB);
    EXPECT_FALSE(tio.c_cflag & CRTSCTS);
    EXPECT_EQ(tio.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
    EXPECT_FALSE(tio.c_iflag & (IXON | IXOFF | ICRNL | INLCR | IGNCR | ISTRIP));
    EXPECT_TRUE(tio.c_iflag & INPCK);
    EXPECT_FALSE(tio.c_oflag & OPOST);
    EXPECT_FALSE(tio.c_lflag & (ICANON | ECHO | ISIG | IEXTEN));
    EXPECT_EQ(tio.c_cc[VMIN], 0);
    EXPECT_EQ(tio.c_cc[VTIME], 0);
}

TEST_F(Serial, OtherParityAndStopCodes)
{
    ASSERT_EQ(m_link.Open(m_dev.Path().c_str(), 9600, 7, 2, 0), 1);
    termios tio {};
    ASSERT_EQ(::tcgetattr(m_link.Fd(), &tio), 0);
    EXPECT_EQ(::cfgetospeed(&tio), B9600);
    // A pty keeps CS8 and no parity whatever is asked; the stop bits do change.
    EXPECT_FALSE(tio.c_cflag & CSTOPB);
    m_link.Close();
    EXPECT_EQ(m_link.Open(m_dev.Path().c_str(), 2401, 8, 0, 2), 0); // no such baud rate
    EXPECT_EQ(m_link.Open(m_dev.Path().c_str(), 2400, 8, 9, 2), 0); // no such parity
}

TEST_F(Serial, OpenIsExclusiveUntilClosed)
{
    OpenPort();
    CComLink second;
    EXPECT_EQ(second.Open(m_dev.Path().c_str(), 2400, 8, 0, 2), 0);
    m_link.Close();
    EXPECT_EQ(second.Open(m_dev.Path().c_str(), 2400, 8, 0, 2), 1);
}

TEST_F(Serial, OpenPurgesWhatArrivedBefore)
{
    // Raw bytes straight onto the line, ahead of any open.
    PutOnLine(m_dev, "stale\r", 6);
    ::usleep(20000);
    OpenPort();
    EXPECT_EQ(m_link.Read(m_buf, sizeof m_buf, 3000), -1);
    EXPECT_TRUE(AllZero(m_buf, sizeof m_buf));
}

TEST_F(Serial, WriteThenReadAnAck)
{
    OpenPort();
    const uint8_t frame[] = {'A', 'T', 'E', '1', 0x4E, 0x6D, 0x0D};
    EXPECT_EQ(m_link.Write(frame, sizeof frame), 1);
    EXPECT_EQ(m_link.Read(m_buf, sizeof m_buf, 3000), 7);
    EXPECT_EQ(std::memcmp(m_buf, kAck, 7), 0);
    EXPECT_TRUE(AllZero(m_buf + 7, sizeof m_buf - 7));
    ASSERT_EQ(m_dev.Frames().size(), 1u);
    EXPECT_EQ(m_dev.Frames()[0], std::string(reinterpret_cast<const char*>(frame), 7));
}

TEST_F(Serial, SecondQueuedReplyWaitsForNextRead)
{
    OpenPort();
    uint8_t two[14];
    std::memcpy(two, kAck, 7);
    std::memcpy(two + 7, "(NAK\x73\x73\r", 7);
    PutOnLine(m_dev, two, sizeof two);
    EXPECT_EQ(m_link.Read(m_buf, sizeof m_buf, 3000), 7);
    EXPECT_EQ(std::memcmp(m_buf, kAck, 7), 0);
    EXPECT_EQ(m_link.Read(m_buf, sizeof m_buf, 3000), 7);
    EXPECT_EQ(std::memcmp(m_buf, "(NAK", 4), 0);
}

TEST_F(Serial, SilentPortTimesOutOnTheFakeClock)
{
    OpenPort();
    const uint32_t start = m_clock.m_now;
    EXPECT_EQ(m_link.Read(m_buf, sizeof m_buf, 3000), -1);
    EXPECT_EQ(m_clock.m_now - start, 3000u);
    EXPECT_TRUE(AllZero(m_buf, sizeof m_buf));
    EXPECT_LT(m_clock.m_polls, 5); // waits, never spins
}

TEST_F(Serial, WrappingTickCounterNeitherEndsNorStretchesTheWait)
{
    m_clock.m_now = 0xFFFFFF00u;
    OpenPort();
    EXPECT_EQ(m_link.Read(m_buf, sizeof m_buf, 3000), -1);
    EXPECT_EQ(m_clock.m_now, 0xFFFFFF00u + 3000u);
}

TEST_F(Serial, PartialReplyKeepsItsBytes)
{
    OpenPort();
    PutOnLine(m_dev, "(AC", 3);
    ::usleep(20000);
    EXPECT_EQ(m_link.Read(m_buf, sizeof m_buf, 3000), -1);
    EXPECT_EQ(std::memcmp(m_buf, "(AC", 3), 0);
    EXPECT_TRUE(AllZero(m_buf + 3, sizeof m_buf - 3));
}

TEST_F(Serial, FullBufferWithoutCrFailsAtOnce)
{
    OpenPort();
    const std::string junk(300, 'x');
    PutOnLine(m_dev, junk.data(), junk.size());
    ::usleep(20000);
    const uint32_t start = m_clock.m_now;
    EXPECT_EQ(m_link.Read(m_buf, sizeof m_buf, 3000), -1);
    EXPECT_LT(m_clock.m_now - start, 3000u);
    EXPECT_EQ(m_buf[254], 'x');
    EXPECT_EQ(m_buf[255], 0);
}

TEST_F(Serial, HangUpEndsTheReadAtOnce)
{
    OpenPort();
    m_dev.HangUp();
    const uint32_t start = m_clock.m_now;
    EXPECT_EQ(m_link.Read(m_buf, sizeof m_buf, 3000), -1);
    EXPECT_LT(m_clock.m_now - start, 3000u);
}

TEST_F(Serial, SilentPortRealTime)
{
    CComLink link;
    ASSERT_EQ(link.Open(m_dev.Path().c_str(), 2400, 8, 0, 2), 1);
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(link.Read(m_buf, sizeof m_buf, 3000), -1);
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_GE(ms, 2990);
    EXPECT_LT(ms, 10000);
}

TEST(SerialWrite, FrameThatCannotLeaveWholeFailsAfterItsWait)
{
    // Nobody reads this line: fill it until the tty takes no more.
    PtyPair pty;
    ASSERT_TRUE(OpenRawPty(&pty));
    CFakeClock clock;
    CComLink link(nullptr, &clock);
    ASSERT_EQ(link.Open(pty.slavePath.c_str(), 2400, 8, 0, 2), 1);
    // The tty moves data along in the background: full means no room for a while.
    const std::string chunk(4096, 'x');
    for (;;) {
        while (::write(link.Fd(), chunk.data(), chunk.size()) > 0) {
        }
        pollfd pfd {link.Fd(), POLLOUT, 0};
        if (::poll(&pfd, 1, 300) == 0) {
            break;
        }
    }
    const uint32_t start = clock.m_now;
    EXPECT_EQ(link.Write("QBOOT\x0B\x88\r", 8), 0);
    EXPECT_GE(clock.m_now - start, 200u);
    EXPECT_LT(clock.m_now - start, 1000u);
}

TEST(SerialWrite, WriteToAHungUpPortFails)
{
    PtyPair pty;
    ASSERT_TRUE(OpenRawPty(&pty));
    CComLink link;
    ASSERT_EQ(link.Open(pty.slavePath.c_str(), 2400, 8, 0, 2), 1);
    pty.master.Reset();
    EXPECT_EQ(link.Write("ATE1Nm\r", 7), 0);
}
