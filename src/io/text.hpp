// Text for messages: control characters shown as \xHH, so that a name or a
// cell cannot garble (or, for NUL, cut) the message that quotes it.
#pragma once

#include <string>

namespace calvenor {

inline void appendPrintable(std::string& out, char ch) {
    const auto c = static_cast<unsigned char>(ch);
    if (c < 0x20 || c == 0x7F) {
        static constexpr char hex[] = "0123456789ABCDEF";
        out += "\\x";
        out += hex[c >> 4];
        out += hex[c & 0xF];
    } else {
        out += ch;
    }
}

}  // namespace calvenor
