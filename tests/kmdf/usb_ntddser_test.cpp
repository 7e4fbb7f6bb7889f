// The serial-port header: control codes and bit values as applications and serial drivers know them.
#include <gtest/gtest.h>
#include <ntddser.h>

#include <string>

namespace {

struct CodeCase {
  const char* name;
  ULONG code;
  ULONG expected;
};

class SerialCodeTest : public ::testing::TestWithParam<CodeCase> {};

TEST_P(SerialCodeTest, Code_HasItsPublishedValue) { EXPECT_EQ(GetParam().code, GetParam().expected); }

#define CODE(name, value) \
  CodeCase { #name, name, value }

INSTANTIATE_TEST_SUITE_P(
    Codes, SerialCodeTest,
    ::testing::Values(CODE(IOCTL_SERIAL_SET_BAUD_RATE, 0x1B0004), CODE(IOCTL_SERIAL_SET_QUEUE_SIZE, 0x1B0008),
                      CODE(IOCTL_SERIAL_SET_LINE_CONTROL, 0x1B000C), CODE(IOCTL_SERIAL_SET_BREAK_ON, 0x1B0010),
                      CODE(IOCTL_SERIAL_SET_TIMEOUTS, 0x1B001C), CODE(IOCTL_SERIAL_GET_TIMEOUTS, 0x1B0020),
                      CODE(IOCTL_SERIAL_SET_DTR, 0x1B0024), CODE(IOCTL_SERIAL_CLR_DTR, 0x1B0028),
                      CODE(IOCTL_SERIAL_SET_RTS, 0x1B0030), CODE(IOCTL_SERIAL_CLR_RTS, 0x1B0034),
                      CODE(IOCTL_SERIAL_GET_WAIT_MASK, 0x1B0040), CODE(IOCTL_SERIAL_SET_WAIT_MASK, 0x1B0044),
                      CODE(IOCTL_SERIAL_WAIT_ON_MASK, 0x1B0048), CODE(IOCTL_SERIAL_PURGE, 0x1B004C),
                      CODE(IOCTL_SERIAL_GET_BAUD_RATE, 0x1B0050), CODE(IOCTL_SERIAL_GET_LINE_CONTROL, 0x1B0054),
                      CODE(IOCTL_SERIAL_GET_CHARS, 0x1B0058), CODE(IOCTL_SERIAL_SET_CHARS, 0x1B005C),
                      CODE(IOCTL_SERIAL_GET_HANDFLOW, 0x1B0060), CODE(IOCTL_SERIAL_SET_HANDFLOW, 0x1B0064),
                      CODE(IOCTL_SERIAL_GET_MODEMSTATUS, 0x1B0068), CODE(IOCTL_SERIAL_GET_COMMSTATUS, 0x1B006C),
                      CODE(IOCTL_SERIAL_GET_PROPERTIES, 0x1B0074), CODE(IOCTL_SERIAL_GET_DTRRTS, 0x1B0078),
                      CODE(IOCTL_SERIAL_GET_STATS, 0x1B008C), CODE(IOCTL_SERIAL_CLEAR_STATS, 0x1B0090),
                      CODE(IOCTL_SERIAL_SET_FIFO_CONTROL, 0x1B009C), CODE(SERIAL_EV_RX80FULL, 0x0400),
                      CODE(SERIAL_EV_RLSD, 0x0020), CODE(SERIAL_MSR_DCD, 0x80), CODE(SERIAL_PURGE_RXCLEAR, 0x8),
                      CODE(SERIAL_PCF_TOTALTIMEOUTS, 0x40), CODE(SERIAL_BAUD_USER, 0x10000000)),
    [](const auto& info) { return std::string(info.param.name); });

#undef CODE

TEST(SerialHeaderTest, SettableBaud_AllButBaud134IsTheUsualMask) {
  const ULONG all = SERIAL_BAUD_075 | SERIAL_BAUD_110 | SERIAL_BAUD_150 | SERIAL_BAUD_300 | SERIAL_BAUD_600 |
                    SERIAL_BAUD_1200 | SERIAL_BAUD_1800 | SERIAL_BAUD_2400 | SERIAL_BAUD_4800 | SERIAL_BAUD_7200 |
                    SERIAL_BAUD_9600 | SERIAL_BAUD_14400 | SERIAL_BAUD_19200 | SERIAL_BAUD_38400 | SERIAL_BAUD_56K |
                    SERIAL_BAUD_128K | SERIAL_BAUD_115200 | SERIAL_BAUD_57600 | SERIAL_BAUD_USER;
  EXPECT_EQ(all, 0x1007FFFBu);
}

TEST(SerialHeaderTest, Records_KeepTheirPublishedFieldOffsets) {
  EXPECT_EQ(offsetof(SERIAL_STATUS, EofReceived), 16u);
  EXPECT_EQ(offsetof(SERIAL_COMMPROP, SettableData), 40u);
  EXPECT_EQ(offsetof(SERIAL_COMMPROP, ProvChar), 60u);
  EXPECT_EQ(offsetof(SERIALPERF_STATS, BufferOverrunErrorCount), 16u);
  EXPECT_EQ(offsetof(SERIAL_CHARS, EventChar), 3u);
}

}  // namespace
