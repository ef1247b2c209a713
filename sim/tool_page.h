// The web front panel's page: plain HTML, CSS and JavaScript, served as they
// stand (no build step).
#pragma once

namespace boxsim::tool {

extern const char *const kPageHtml;
extern const char *const kPageCss;
extern const char *const kPageJs;

} // namespace boxsim::tool
