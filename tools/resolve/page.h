// The page that `qorgit resolve` serves: its HTML, script and style, written by hand and
// embedded at build time (embed.cmake).
#ifndef QOR_TOOLS_RESOLVE_PAGE_H_
#define QOR_TOOLS_RESOLVE_PAGE_H_

#include <string_view>

namespace qor::resolve::page {

extern const std::string_view page_html;
extern const std::string_view page_js;
extern const std::string_view page_css;

}  // namespace qor::resolve::page

#endif  // QOR_TOOLS_RESOLVE_PAGE_H_
