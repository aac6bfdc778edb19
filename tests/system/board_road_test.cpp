// The whole road of one monitoring connection, for a tty board and for a HID
// board: present at start, bridged, unplugged, restarted in its loader, back
// at the same location and bridged again on the same IDE connection.

#include <cstdint>
#include <string>

#include "ide_session.h"

namespace {

constexpr uint32_t board_vendor = 0x16C0;
constexpr uint32_t loader_product = 0x0478;

// Every byte value, and line ends that a cooked line would rewrite or echo.
std::string binary_text() {
    std::string text = "line one\r\nline two\n\r";
    for (int value = 0; value < 256; ++value) {
        text.push_back(static_cast<char>(value));
    }
    return text;
}

std::string bulk_text(size_t size) {
    std::string text;
    for (size_t i = 0; text.size() < size; ++i) {
        text += "block " + std::to_string(i) + " of the board's stream\n";
    }
    text.resize(size);
    return text;
}

using BoardRoad = IdeSession;

TEST_F(BoardRoad, TtyBoardIsBridgedFollowedThroughItsLoaderAndQuit) {
    board_sim board{};
    plug(&board, location_a, board_kind_tty, board_vendor, 0x0483, 0x0279);
    start_monitor();
    ASSERT_TRUE(open_port(std::string("/sys") + location_a));
    ASSERT_TRUE(monitor_holds(board));

    // Raw both ways: no echo, no line-end rewriting, every byte value passes.
    expect_to_board(&board, binary_text());
    expect_to_ide(&board, binary_text());
    expect_to_board(&board, bulk_text(20000));
    expect_to_ide(&board, bulk_text(20000));
    char echoed = 0;
    EXPECT_EQ(board_sim_receive(&board, &echoed, 1, 20), 0) << "the line echoed the board's output";

    // Restart into the loader: the line goes away, the loader is no port.
    ASSERT_EQ(board_sim_unplug(&board), 1);
    board_sim before = board;
    EXPECT_TRUE(monitor_releases(before));
    ASSERT_EQ(board_sim_replug_as(&board, board_kind_loader, board_vendor, loader_product, 0x0279),
              1);
    board_sim loader = board;

    // Back at the same location: the board side reopens by itself.
    ASSERT_EQ(board_sim_replug_as(&board, board_kind_tty, board_vendor, 0x0483, 0x0279), 1);
    ASSERT_TRUE(monitor_holds(board));
    EXPECT_EQ(board_sim_opened(&loader), 0) << "the loader's node was opened";
    for (int i = 0; i < 5; ++i) {
        expect_to_board(&board, "typed after the reopen " + std::to_string(i) + "\n");
    }
    expect_to_ide(&board, "hello again\n");

    EXPECT_EQ(ask("CLOSE\n"), close_reply);
    EXPECT_TRUE(monitor_releases(board));
    EXPECT_EQ(ask("CLOSE\n"), already_closed_reply);
    quit();
}

TEST_F(BoardRoad, HidBoardIsBridgedInReportsFollowedThroughItsLoaderAndQuit) {
    // Product 0x0486 carries its stream on interface 1.
    board_sim board{};
    plug(&board, location_a, board_kind_hid_serial, board_vendor, 0x0486, 0x0280, 1);
    start_monitor();
    ASSERT_TRUE(open_port("usb1/1-2"));
    ASSERT_TRUE(monitor_holds(board));

    const uint8_t open_feature[board_feature_report_size] = {0x00, 0x8B, 0xC5, 0x1D, 0x70};
    uint8_t feature[board_feature_report_size] = {};
    ASSERT_TRUE(eventually([&] { return board_sim_feature_reports(&board, feature) > 0; }));
    EXPECT_EQ(std::string(feature, feature + 5), std::string(open_feature, open_feature + 5));

    // IDE to board: zero-filled 32-byte output reports.
    expect_reports(&board, "hi");
    expect_reports(&board, std::string(32, 'x'));
    expect_reports(&board, bulk_text(70));

    // Board to IDE: the text of each 64-byte input report, without its zero fill.
    expect_to_ide(&board, "abc");
    std::string full(64, 'F');
    expect_to_ide(&board, full + "def");
    std::string empty = std::string("\0xyz", 4) + std::string(60, 'z');
    std::string cut = std::string("ab\0cd", 5) + std::string(59, 'z');
    ASSERT_EQ(board_sim_send(&board, empty.data(), 64), 64);
    ASSERT_EQ(board_sim_send(&board, cut.data(), 64), 64);
    ASSERT_EQ(board_sim_send(&board, "tail", 4), 4);
    EXPECT_EQ(read_exactly(ide, 6, effect_timeout_ms), "abtail");
    EXPECT_EQ(board_sim_feature_reports(&board, feature), 1) << "feature report sent again";

    // Restart into the loader and back on the same interface.
    ASSERT_EQ(board_sim_unplug(&board), 1);
    board_sim before = board;
    EXPECT_TRUE(monitor_releases(before));
    ASSERT_EQ(board_sim_replug_as(&board, board_kind_loader, board_vendor, loader_product, 0x0280),
              1);
    board_sim loader = board;
    ASSERT_EQ(board_sim_replug_as(&board, board_kind_hid_serial, board_vendor, 0x0486, 0x0280), 1);
    ASSERT_TRUE(monitor_holds(board));
    EXPECT_EQ(board_sim_opened(&loader), 0) << "the loader's node was opened";
    ASSERT_TRUE(eventually([&] { return board_sim_feature_reports(&board, feature) > 0; }));
    for (int i = 0; i < 5; ++i) {
        expect_reports(&board, "again " + std::to_string(i));
    }
    expect_to_ide(&board, "back");
    EXPECT_EQ(board_sim_feature_reports(&board, feature), 1);

    EXPECT_EQ(ask("CLOSE\n"), close_reply);
    EXPECT_TRUE(monitor_releases(board));
    quit();
}

}  // namespace
