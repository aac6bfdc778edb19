#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "monitor/command_loop.h"

namespace {

command_kind kind_of(std::string_view line) {
    return command_parse(line).kind;
}

TEST(CommandParse, HelloNeedsANumberAndNonEmptyQuotedText) {
    command cmd = command_parse("HELLO 1 \"Arduino IDE\"\n");
    EXPECT_EQ(cmd.kind, command_kind::hello);
    EXPECT_EQ(cmd.version, 1);
    EXPECT_STREQ(cmd.text, "Arduino IDE");

    cmd = command_parse("HELLO -7 \"x\"\n");
    EXPECT_EQ(cmd.kind, command_kind::hello);
    EXPECT_EQ(cmd.version, -7);
    // The closing quote is not required; the text stops at CR or LF.
    cmd = command_parse("HELLO 2 \"no closing quote\r\n");
    EXPECT_EQ(cmd.kind, command_kind::hello);
    EXPECT_STREQ(cmd.text, "no closing quote");

    EXPECT_EQ(kind_of("HELLO 1 \"\"\n"), command_kind::none);
    EXPECT_EQ(kind_of("HELLO 1\n"), command_kind::none);
    EXPECT_EQ(kind_of("HELLO 1 text\n"), command_kind::none);
    EXPECT_EQ(kind_of("HELLO 1 \"\n"), command_kind::none);
    EXPECT_EQ(kind_of("HELLO \"x\"\n"), command_kind::none);
    EXPECT_EQ(kind_of(" HELLO 1 \"x\"\n"), command_kind::none);
    EXPECT_EQ(kind_of("hello 1 \"x\"\n"), command_kind::none);
}

TEST(CommandParse, HelloWhitespaceSignsAndOverflow) {
    EXPECT_EQ(kind_of("HELLO1\"x\""), command_kind::hello);
    EXPECT_EQ(kind_of("HELLO\t\v\f\r\n 3 \t\"x\""), command_kind::hello);
    EXPECT_EQ(command_parse("HELLO +12 \"x\"").version, 12);
    EXPECT_EQ(command_parse("HELLO -2147483648 \"x\"").version, -2147483647 - 1);
    EXPECT_EQ(command_parse("HELLO 2147483647 \"x\"").version, 2147483647);
    EXPECT_EQ(command_parse("HELLO 000000000000000000000042 \"x\"").version, 42);

    EXPECT_EQ(kind_of("HELLO 2147483648 \"x\"\n"), command_kind::none);
    EXPECT_EQ(kind_of("HELLO -2147483649 \"x\"\n"), command_kind::none);
    EXPECT_EQ(kind_of("HELLO 99999999999 \"x\"\n"), command_kind::none);
    EXPECT_EQ(kind_of("HELLO 99999999999999999999999 \"x\"\n"), command_kind::none);
    EXPECT_EQ(kind_of("HELLO + 1 \"x\"\n"), command_kind::none);
    EXPECT_EQ(kind_of("HELLO - \"x\"\n"), command_kind::none);
    EXPECT_EQ(kind_of("HELLO 1x \"x\"\n"), command_kind::none);
}

TEST(CommandParse, PrefixCommandsLookAtTheFirstCharactersOnly) {
    EXPECT_EQ(kind_of("DESCRIBE\n"), command_kind::describe);
    EXPECT_EQ(kind_of("DESCRIBEanything at all"), command_kind::describe);
    EXPECT_EQ(kind_of(" DESCRIBE\n"), command_kind::none);
    EXPECT_EQ(kind_of("DESCRIB\n"), command_kind::none);
    EXPECT_EQ(kind_of("CLOSE\n"), command_kind::close);
    EXPECT_EQ(kind_of("CLOSEST"), command_kind::close);
    EXPECT_EQ(kind_of("QUIT\n"), command_kind::quit);
    EXPECT_EQ(kind_of("QUITxyz\n"), command_kind::quit);
    EXPECT_EQ(kind_of("QUI\n"), command_kind::none);
    EXPECT_EQ(kind_of("quit\n"), command_kind::none);
    EXPECT_EQ(kind_of(""), command_kind::none);
    EXPECT_EQ(kind_of("\n"), command_kind::none);
    // A line is a C string: nothing past its first zero byte counts.
    EXPECT_EQ(kind_of(std::string_view("QU\0IT\n", 6)), command_kind::none);
    EXPECT_EQ(kind_of(std::string_view("QUIT\0\n", 6)), command_kind::quit);
}

TEST(CommandParse, OpenReadsOctetsPortAndAddress) {
    command cmd = command_parse("OPEN 127.0.0.1:50000 /sys/devices/pci0000:00/usb1/1-2\n");
    ASSERT_EQ(cmd.kind, command_kind::open);
    EXPECT_EQ(cmd.octets[0], 127);
    EXPECT_EQ(cmd.octets[1], 0);
    EXPECT_EQ(cmd.octets[2], 0);
    EXPECT_EQ(cmd.octets[3], 1);
    EXPECT_EQ(cmd.port, 50000);
    EXPECT_STREQ(cmd.text, "/sys/devices/pci0000:00/usb1/1-2");

    // The address runs to the first CR or LF and may hold spaces and quotes.
    cmd = command_parse("OPEN 10.0.0.5:1024   usb1/1-2 with \"spaces\"\r\ntail");
    ASSERT_EQ(cmd.kind, command_kind::open);
    EXPECT_STREQ(cmd.text, "usb1/1-2 with \"spaces\"");
    // Whitespace before each number is allowed, not before a separator.
    EXPECT_EQ(kind_of("OPEN\t127. 0.\t0. 1: 65535 x\n"), command_kind::open);
    EXPECT_EQ(kind_of("OPEN 127 .0.0.1:5000 x\n"), command_kind::none);
    EXPECT_EQ(kind_of("OPEN 127.0.0.1 :5000 x\n"), command_kind::none);
    EXPECT_EQ(kind_of("OPEN +127.+0.+0.+1:+5000 x\n"), command_kind::open);
    // Nothing after the port, or only line ends (skipped as whitespace).
    EXPECT_EQ(kind_of("OPEN 127.0.0.1:5000\n"), command_kind::none);
    EXPECT_EQ(kind_of("OPEN 127.0.0.1:5000 \r\n"), command_kind::none);
    EXPECT_EQ(kind_of("OPEN 127.0.0.1:5000"), command_kind::none);
    EXPECT_EQ(kind_of("OPEN 127.0.0.1 x\n"), command_kind::none);
}

TEST(CommandParse, OpenRangesAreCheckedAndNeverWrap) {
    EXPECT_EQ(kind_of("OPEN 1.0.0.0:1024 x"), command_kind::open);
    EXPECT_EQ(kind_of("OPEN 255.255.255.255:65535 x"), command_kind::open);
    EXPECT_EQ(kind_of("OPEN 0.0.0.1:5000 x"), command_kind::none);
    EXPECT_EQ(kind_of("OPEN 256.0.0.1:5000 x"), command_kind::none);
    EXPECT_EQ(kind_of("OPEN 127.256.0.1:5000 x"), command_kind::none);
    EXPECT_EQ(kind_of("OPEN 127.0.-1.1:5000 x"), command_kind::none);
    EXPECT_EQ(kind_of("OPEN 127.0.0.256:5000 x"), command_kind::none);
    EXPECT_EQ(kind_of("OPEN 127.0.0.1:1023 x"), command_kind::none);
    EXPECT_EQ(kind_of("OPEN 127.0.0.1:65536 x"), command_kind::none);
    EXPECT_EQ(kind_of("OPEN 127.0.0.1:80 x"), command_kind::none);
    // Values that a 32-bit wrap would turn into 127 or into port 1000.
    EXPECT_EQ(kind_of("OPEN 4294967423.0.0.1:5000 x"), command_kind::none);
    EXPECT_EQ(kind_of("OPEN 127.4294967296.0.1:5000 x"), command_kind::none);
    EXPECT_EQ(kind_of("OPEN 127.0.0.1:4294968296 x"), command_kind::none);
    EXPECT_EQ(kind_of("OPEN 127.0.0.1:-4294962296 x"), command_kind::none);
}

TEST(CommandParse, LongTextIsCutToTheTextBuffer) {
    std::string line = "OPEN 127.0.0.1:5000 " + std::string(600, 'a');
    command cmd = command_parse(line);
    ASSERT_EQ(cmd.kind, command_kind::open);
    EXPECT_EQ(std::string(cmd.text), std::string(command_line_size - 1, 'a'));
}

}  // namespace
