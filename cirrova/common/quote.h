// Percent-encoding of keys and query components (UTF-8, upper-case hex).
#pragma once

#include <string>
#include <string_view>

namespace cirrova {

// Keeps ASCII letters, digits, "_", ".", "-", "~" and "/"; encodes every
// other byte. The key quoting of URL paths.
std::string quote_path(std::string_view s);
// Like quote_path but "/" is encoded too (query names and values).
std::string quote_component(std::string_view s);
// The same, appended to `out`.
void append_quoted_path(std::string& out, std::string_view s);
void append_quoted_component(std::string& out, std::string_view s);
// A key as a URL path: quote_path, and every "." or ".." segment written as
// "%2E" / "%2E%2E", which URL normalisation (httpx, browsers) would
// otherwise remove, sending the request for another key.
std::string quote_key(std::string_view key);
void append_quoted_key(std::string& out, std::string_view key);
// Keeps the unreserved set plus every byte of `safe`.
std::string quote_with_safe(std::string_view s, std::string_view safe);

}  // namespace cirrova
