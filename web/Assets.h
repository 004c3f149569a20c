#pragma once
// The page, its login form, script and style sheet (web/page), built in.

namespace pello::web {

extern const char* const k_index_html;
extern const char* const k_login_html;
extern const char* const k_app_js;
extern const char* const k_app_css;

} // namespace pello::web
