// What the web view puts into its page: a serial number, a reason or a file name comes from a
// device or a program, and must show as text whatever it holds.
#pragma once

#include <string>

namespace station {

// Text for an HTML element's content or a quoted attribute value.
std::string HtmlEscaped(const std::string& text);

// JSON text made safe to stand inside a <script> element: no "</script>" or "<!--" can end or
// change it. Only the characters inside JSON strings are touched, so it parses as before.
std::string JsonForScript(const std::string& json);

// A path for an href: every byte but letters, digits and -._~/ percent-encoded.
std::string UrlPathEncoded(const std::string& path);

}  // namespace station
