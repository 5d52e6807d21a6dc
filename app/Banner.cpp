// Banner: draws the seven-line start-up box in the console's colours.
#include "app/Banner.h"

#include <array>
#include <string>
#include <string_view>

#include "app/Console.h"

namespace {

constexpr std::string_view ProductLine = " Vantrel v0.3";
constexpr std::array<std::string_view, 3> NoticeLines{
    " HTTP/1.0 forward proxy with CONNECT",
    " Settings: vtl.ini beside the program",
    " Stop: Ctrl+C",
};

std::string PadToBox(std::string_view text) {
    std::string padded(text.substr(0, BannerInnerWidth));
    padded.resize(BannerInnerWidth, ' ');
    return padded;
}

void WriteEdge(TBoxPiece left, TBoxPiece right) {
    WriteRepeated(left, 1);
    WriteRepeated(bpHorizontal, BannerInnerWidth);
    WriteRepeated(right, 1);
    WriteLineEnd();
}

void WriteFramedLine(std::string_view text) {
    WriteRepeated(bpVertical, 1);
    WriteText(PadToBox(text));
    WriteRepeated(bpVertical, 1);
    WriteLineEnd();
}

}  // namespace

void ShowBanner() {
    SetColor(ColorNormal);
    WriteEdge(bpTopLeft, bpTopRight);

    WriteRepeated(bpVertical, 1);
    SetColor(ColorProduct);
    WriteText(PadToBox(ProductLine));
    SetColor(ColorNormal);
    WriteRepeated(bpVertical, 1);
    WriteLineEnd();

    WriteFramedLine("");
    for (const std::string_view notice : NoticeLines) {
        WriteFramedLine(notice);
    }
    WriteEdge(bpBottomLeft, bpBottomRight);

    SetColor(ColorNormal);
    WriteLineEnd();
    WriteText("Reading settings... ");
    Pause(200);
}
