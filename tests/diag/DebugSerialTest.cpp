// Serial mode on a pseudo-terminal: the device is the slave side, the test reads the master side.
#include "DiagTestSupport.h"
#include "diag/SerialPort.h"

#include <chrono>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

namespace {

using diagtest::ChannelTest;

class PseudoTerminal {
  public:
    PseudoTerminal() {
        master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master_ >= 0 && grantpt(master_) == 0 && unlockpt(master_) == 0) {
            char name[256];
            if (ptsname_r(master_, name, sizeof name) == 0) {
                slavePath_ = name;
            }
        }
    }
    ~PseudoTerminal() {
        if (master_ >= 0) {
            close(master_);
        }
    }
    PseudoTerminal(const PseudoTerminal&) = delete;
    PseudoTerminal& operator=(const PseudoTerminal&) = delete;

    const std::string& SlavePath() const { return slavePath_; }
    // The line discipline settings of the slave, as the channel left them.
    termios SlaveSettings() const {
        termios settings{};
        tcgetattr(master_, &settings);
        return settings;
    }
    // Reads until `count` bytes arrived or two seconds passed.
    std::string Read(std::size_t count) {
        std::string received;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        while (received.size() < count && std::chrono::steady_clock::now() < deadline) {
            pollfd ready{master_, POLLIN, 0};
            if (poll(&ready, 1, 100) <= 0) {
                continue;
            }
            char buffer[4096];
            const ssize_t n =
                read(master_, buffer, std::min(sizeof buffer, count - received.size()));
            if (n <= 0) {
                break;
            }
            received.append(buffer, static_cast<std::size_t>(n));
        }
        return received;
    }

  private:
    int master_ = -1;
    std::string slavePath_;
};

using SerialModeTest = ChannelTest;

TEST_F(SerialModeTest, LinesArriveUnchangedOnARawEightBitLineWithHardwareFlowControl) {
    PseudoTerminal terminal;
    ASSERT_FALSE(terminal.SlavePath().empty());
    DebugSetup(DebugSerial, terminal.SlavePath().c_str(), 4);

    DebugLog("Start: %d", 1);
    DebugLogRaw("send:%s", "DATA\n");
    const std::string expected = "Start: 1\r\nsend:DATA\n";
    EXPECT_EQ(terminal.Read(expected.size()), expected);

    const termios settings = terminal.SlaveSettings();
    EXPECT_EQ(settings.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(settings.c_cflag & (PARENB | CSTOPB), 0u);
    EXPECT_NE(settings.c_cflag & CRTSCTS, 0u);
    EXPECT_EQ(settings.c_iflag & (IXON | IXOFF | ICRNL), 0u);
    EXPECT_EQ(settings.c_oflag & OPOST, 0u);
    EXPECT_EQ(settings.c_lflag & (ICANON | ECHO), 0u);
}

struct BaudRow {
    int code;
    unsigned rate;
    speed_t speed;
};

class SerialBaudTest : public ChannelTest, public ::testing::WithParamInterface<BaudRow> {};

TEST_P(SerialBaudTest, BaudCodeSetsTheLineSpeed) {
    EXPECT_EQ(diag::SerialBaudRate(GetParam().code), GetParam().rate);
    PseudoTerminal terminal;
    ASSERT_FALSE(terminal.SlavePath().empty());
    DebugSetup(DebugSerial, terminal.SlavePath().c_str(), GetParam().code);
    DebugLog("x");
    EXPECT_EQ(terminal.Read(3), "x\r\n");
    const termios settings = terminal.SlaveSettings();
    EXPECT_EQ(cfgetospeed(&settings), GetParam().speed);
    EXPECT_EQ(cfgetispeed(&settings), GetParam().speed);
}

INSTANTIATE_TEST_SUITE_P(Codes, SerialBaudTest,
                         ::testing::Values(BaudRow{0, 9600, B9600}, BaudRow{1, 2400, B2400},
                                           BaudRow{2, 4800, B4800}, BaudRow{3, 9600, B9600},
                                           BaudRow{4, 19200, B19200}, BaudRow{5, 38400, B38400},
                                           BaudRow{6, 9600, B9600}, BaudRow{-1, 9600, B9600}),
                         [](const auto& info) {
                             const int code = info.param.code;
                             return (code < 0 ? "CodeMinus" : "Code") +
                                    std::to_string(code < 0 ? -code : code);
                         });

TEST(SerialDevicePathTest, WindowsPortNamesMapToLinuxDevicesOtherNamesStayPaths) {
    const struct {
        const char* name;
        const char* path;
    } rows[] = {
        {"COM1", "/dev/ttyS0"},  {"com3", "/dev/ttyS2"},
        {"COM10", "/dev/ttyS9"}, {"COM0", "COM0"},
        {"COM1x", "COM1x"},      {"COM", "COM"},
        {"COMX", "COMX"},        {"/dev/ttyUSB0", "/dev/ttyUSB0"},
    };
    for (const auto& row : rows) {
        char path[64];
        ASSERT_TRUE(diag::SerialDevicePath(row.name, path, sizeof path)) << row.name;
        EXPECT_STREQ(path, row.path) << row.name;
    }
    char tiny[8];
    EXPECT_FALSE(diag::SerialDevicePath("/dev/ttyUSB0", tiny, sizeof tiny));
}

// With nobody reading, the line fills up; from then on each line gives up after the write time
// limit instead of holding its thread for ever.
TEST_F(SerialModeTest, WriteThatCannotFinishGivesUpAfterTheTimeLimit) {
    PseudoTerminal terminal;
    ASSERT_FALSE(terminal.SlavePath().empty());
    DebugSetup(DebugSerial, terminal.SlavePath().c_str(), 5);
    const std::string text(1000, 's');

    using Clock = std::chrono::steady_clock;
    Clock::duration stalled{};
    for (int line = 0; line < 2000 && stalled < std::chrono::milliseconds(1500); ++line) {
        const auto before = Clock::now();
        DebugLog("%s", text.c_str());
        stalled = Clock::now() - before;
    }
    EXPECT_GE(stalled, std::chrono::milliseconds(1500));
    EXPECT_LT(stalled, std::chrono::milliseconds(3000));
}

} // namespace
