// Banner: draws the seven-line start-up box in the console's colours.
#include "app/Banner.h"

#include <array>
#include <string>
#include <string_view>

#include "app/Console.h"

namespace {

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

std::string VersionLine() {
    return "Vantrel " + std::string(ProductVersion);
}

void ShowBanner() {
    SetColor(ColorNormal);
    WriteEdge(bpTopLeft, bpTopRight);

    WriteRepeated(bpVertical, 1);
    SetColor(ColorProduct);
    WriteText(PadToBox(" Vantrel v" + std::string(ProductVersion)));
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
