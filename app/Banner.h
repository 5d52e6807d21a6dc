// Banner: the boxed product banner drawn at start-up, followed by the
// "Reading settings... " prompt that the settings status line completes.
#pragma once

// Inner width of the banner box; with its two borders the box is 43 columns.
constexpr int BannerInnerWidth = 41;

void ShowBanner();
