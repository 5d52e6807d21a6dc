// ConsoleTest: the banner byte for byte in each console mode, the colour
// sequences of ANSI terminals, and the relative cursor movement that keeps
// the log rows in place on a terminal.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/Banner.h"
#include "app/Console.h"
#include "tests/app/ConsoleCapture.h"

namespace {

const std::string Utf8TopLeft = "\u2554";
const std::string Utf8Horizontal = "\u2550";
const std::string Utf8TopRight = "\u2557";
const std::string Utf8Vertical = "\u2551";
const std::string Utf8BottomLeft = "\u255A";
const std::string Utf8BottomRight = "\u255D";

std::string Repeat(const std::string& piece, int count) {
    std::string text;
    for (int i = 0; i < count; ++i) {
        text += piece;
    }
    return text;
}

std::string Padded(const std::string& text) {
    return text + std::string(41 - text.size(), ' ');
}

std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end = text.find('\n'); end != std::string::npos; end = text.find('\n', start)) {
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    lines.push_back(text.substr(start));
    return lines;
}

size_t CodePoints(const std::string& utf8) {
    size_t count = 0;
    for (const char c : utf8) {
        if ((static_cast<unsigned char>(c) & 0xC0U) != 0x80U) {
            ++count;
        }
    }
    return count;
}

class ConsoleTest : public TConsoleFixture {};

TEST_F(ConsoleTest, RedirectedBannerIsPlainUtf8BoxOfFortyThreeColumns) {
    UseStream(cmRedirected);
    ShowBanner();

    const std::string v = Utf8Vertical;
    const std::string expected =
        Utf8TopLeft + Repeat(Utf8Horizontal, 41) + Utf8TopRight + "\n" +
        v + Padded(" Vantrel v0.3") + v + "\n" +
        v + Padded("") + v + "\n" +
        v + Padded(" HTTP/1.0 forward proxy with CONNECT") + v + "\n" +
        v + Padded(" Settings: vtl.ini beside the program") + v + "\n" +
        v + Padded(" Stop: Ctrl+C") + v + "\n" +
        Utf8BottomLeft + Repeat(Utf8Horizontal, 41) + Utf8BottomRight + "\n" +
        "\n" +
        "Reading settings... ";
    EXPECT_EQ(Output(), expected);

    const std::vector<std::string> lines = SplitLines(Output());
    ASSERT_EQ(lines.size(), 9U);
    for (size_t i = 0; i < 7; ++i) {
        EXPECT_EQ(CodePoints(lines[i]), 43U) << "banner line " << i;
    }
    EXPECT_EQ(Output().find('\x1b'), std::string::npos);
    EXPECT_EQ(pauses_, std::vector<int32_t>{200});
}

TEST_F(ConsoleTest, TerminalBannerColoursOnlyTheProductText) {
    UseStream(cmTerminal);
    ShowBanner();

    const std::string grey = "\x1b[0;37m";
    const std::string cyan = "\x1b[0;96m";
    const std::string v = Utf8Vertical;
    const std::string expected =
        grey + Utf8TopLeft + Repeat(Utf8Horizontal, 41) + Utf8TopRight + "\n" +
        v + cyan + Padded(" Vantrel v0.3") + grey + v + "\n" +
        v + Padded("") + v + "\n" +
        v + Padded(" HTTP/1.0 forward proxy with CONNECT") + v + "\n" +
        v + Padded(" Settings: vtl.ini beside the program") + v + "\n" +
        v + Padded(" Stop: Ctrl+C") + v + "\n" +
        Utf8BottomLeft + Repeat(Utf8Horizontal, 41) + Utf8BottomRight + "\n" +
        grey + "\n" +
        "Reading settings... ";
    EXPECT_EQ(Output(), expected);
}

TEST_F(ConsoleTest, WindowsConsoleBannerUsesCodePage437BytesAndAttributes) {
    UseRecorder();
    ShowBanner();

    const std::string v = "\xBA";
    const std::string expected =
        "{C7}\xC9" + std::string(41, '\xCD') + "\xBB\n" +
        v + "{C11}" + Padded(" Vantrel v0.3") + "{C7}" + v + "\n" +
        v + Padded("") + v + "\n" +
        v + Padded(" HTTP/1.0 forward proxy with CONNECT") + v + "\n" +
        v + Padded(" Settings: vtl.ini beside the program") + v + "\n" +
        v + Padded(" Stop: Ctrl+C") + v + "\n" +
        "\xC8" + std::string(41, '\xCD') + "\xBC\n" +
        "{C7}\n" +
        "Reading settings... ";
    EXPECT_EQ(Output(), expected);
}

TEST_F(ConsoleTest, RedirectedOutputOnWindowsKeepsSingleBoxBytes) {
    UseStream(cmRedirected, false);
    WriteRepeated(bpTopLeft, 1);
    WriteRepeated(bpHorizontal, 3);
    WriteRepeated(bpBottomRight, 1);
    EXPECT_EQ(Output(), "\xC9\xCD\xCD\xCD\xBC");
}

TEST_F(ConsoleTest, TerminalSessionHidesAndShowsCursorAndSetsTitle) {
    InitConsole(CreateStreamDevice(sink_.Writer(), cmTerminal, true));
    SetTitle("Vantrel");
    RestoreConsole();
    RestoreConsole();
    EXPECT_EQ(Output(), "\x1b[?25l\x1b]0;Vantrel\a\x1b[0m\x1b[?25h");
    EXPECT_TRUE(IsTerminal());
}

TEST_F(ConsoleTest, RedirectedSessionWritesNoEscapeSequences) {
    InitConsole(CreateStreamDevice(sink_.Writer(), cmRedirected, true));
    SetTitle("Vantrel");
    SetColor(ColorLabel);
    MoveCursor(3, 4);
    WriteText("text");
    RestoreConsole();
    EXPECT_EQ(Output(), "text");
    EXPECT_FALSE(IsTerminal());
}

TEST_F(ConsoleTest, TerminalReservesLogRowsAndMovesRelativeToLastRow) {
    UseStream(cmTerminal);
    WriteText("a\nb\nc\nProxy server is active...");
    ClearOutput();

    CaptureLogBaseRow();
    EXPECT_EQ(LogBaseRow(), 3);
    EXPECT_EQ(Output(), "\n\n\n\n\x1b[4A");

    const std::vector<std::pair<int16_t, std::string>> moves{
        {1, "\r\x1b[2B"},  // base row 3 -> row 5
        {2, "\r\x1b[1B"},  // row 5 -> row 6
        {3, "\r\x1b[1B"},  // row 6 -> row 7
        {1, "\r\x1b[2A"},  // back up to row 5
        {1, "\r"},         // already there
    };
    for (const auto& [logRow, bytes] : moves) {
        ClearOutput();
        MoveToLogRow(logRow);
        EXPECT_EQ(Output(), bytes) << "log row " << logRow;
    }

    ClearOutput();
    MoveCursor(7, 5);
    EXPECT_EQ(Output(), "\r\x1b[7C");

    // Line ends written in between count as rows moved.
    WriteText("x\n");
    ClearOutput();
    MoveCursor(0, 5);
    EXPECT_EQ(Output(), "\r\x1b[1A");

    // The next program's output starts under the lowest log row.
    ClearOutput();
    RestoreConsole();
    EXPECT_EQ(Output(), "\r\x1b[2B\n\x1b[0m\x1b[?25h");
}

TEST_F(ConsoleTest, WindowsConsoleLogRowsAreAbsoluteSixteenBitRows) {
    UseRecorder(17);
    CaptureLogBaseRow();
    MoveToLogRow(1);
    MoveToLogRow(3);
    EXPECT_EQ(Output(), "{P}{M0,19}{M0,21}");

    UseRecorder(32766);
    CaptureLogBaseRow();
    MoveToLogRow(1);
    EXPECT_EQ(Output(), "{P}{M0,-32768}");
}

TEST_F(ConsoleTest, RedirectedLogAreaEndsTheOpenLine) {
    UseStream(cmRedirected);
    WriteText("Proxy server is active...");
    CaptureLogBaseRow();
    RestoreConsole();
    EXPECT_EQ(Output(), "Proxy server is active...\n");
}

struct TColorCase {
    uint16_t attribute;
    const char* sgr;
};

class ConsoleColorTest : public TConsoleFixture,
                         public ::testing::WithParamInterface<TColorCase> {};

TEST_P(ConsoleColorTest, AttributeBecomesSgrSequence) {
    UseStream(cmTerminal);
    SetColor(GetParam().attribute);
    EXPECT_EQ(Output(), GetParam().sgr);
}

// Windows attributes order the bits blue, green, red; ANSI red, green, blue.
INSTANTIATE_TEST_SUITE_P(Attributes, ConsoleColorTest,
                         ::testing::Values(TColorCase{7, "\x1b[0;37m"},
                                           TColorCase{11, "\x1b[0;96m"},
                                           TColorCase{15, "\x1b[0;97m"},
                                           TColorCase{12, "\x1b[0;91m"},
                                           TColorCase{1, "\x1b[0;34m"},
                                           TColorCase{0x1F, "\x1b[0;97;44m"},
                                           TColorCase{0xC0, "\x1b[0;30;101m"}));

}  // namespace
