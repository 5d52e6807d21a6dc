// Banner: the boxed product banner drawn at start-up, followed by the
// "Reading settings... " prompt that the settings status line completes.
#pragma once

#include <string>
#include <string_view>

// The version the banner, --version and the release packages show.
constexpr std::string_view ProductVersion = "0.3";

// Inner width of the banner box; with its two borders the box is 43 columns.
constexpr int BannerInnerWidth = 41;

void ShowBanner();

// "Vantrel <version>", the answer to --version.
std::string VersionLine();
