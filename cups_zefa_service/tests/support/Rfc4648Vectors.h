// The base64 test vectors of RFC 4648, section 10: plain text and its
// encoding with padding.
#pragma once

#include <string_view>
#include <utility>

namespace czs::test {

inline constexpr std::pair<std::string_view, std::string_view> kRfc4648Vectors[] = {
    {"", ""},
    {"f", "Zg=="},
    {"fo", "Zm8="},
    {"foo", "Zm9v"},
    {"foob", "Zm9vYg=="},
    {"fooba", "Zm9vYmE="},
    {"foobar", "Zm9vYmFy"},
};

}  // namespace czs::test
