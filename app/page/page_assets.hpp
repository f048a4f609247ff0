// The page's template, style and scripts, built into the executable from
// page.html, page.css, page.js and selftest.js by embed.cmake.
#pragma once

namespace korvane {

extern const char *const kPageHtml;
extern const char *const kPageCss;
extern const char *const kPageJs;
extern const char *const kPageSelftestJs;

}  // namespace korvane
