// Text conversions shared by every subsystem: strict UTF-8/UTF-16, the message-box widening,
// and the native text of command lines and object names.
#pragma once

#include "platform/platform.h"

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace tavrel {

// A failed strict conversion; the text is the system's description of its error code.
class conversion_error : public std::runtime_error {
  public:
    explicit conversion_error(int code);
    int code() const { return code_; }

  private:
    int code_;
};

// Strict: invalid sequences and unpaired surrogates raise conversion_error with the
// no-Unicode-translation error; 2^31 code units or more raise it with invalid argument (22).
std::u16string utf8_to_utf16(std::string_view text);
std::string utf16_to_utf8(std::u16string_view text);
// Whether utf8_to_utf16 would take `text`: well-formed, no overlong forms, no surrogates.
bool is_valid_utf8(std::string_view text);
// The length of the well-formed UTF-8 sequence at the start of `text` and its code point; 0
// when none begins there (overlong forms, surrogates and values past U+10FFFF included).
std::size_t decode_utf8(std::string_view text, char32_t& code_point);
void append_utf8(std::string& out, char32_t code_point);

// The text of a message box: UTF-8 decoded to UTF-16 (paths and system descriptions are
// UTF-8); a byte that begins no valid sequence becomes one unit, sign-extended (0xE9: 0xFFE9).
std::u16string widen_message(std::string_view text);

// ASCII program literals ("--disable-splash", "Tavrel.exe") as native text.
platform::native_text to_native(std::string_view ascii);
std::string native_to_utf8(const platform::native_text& text);

// Decimal digits, no grouping, a leading "-" for negative values.
platform::native_text decimal_text(std::uint32_t value);
platform::native_text decimal_text(std::int64_t value);

} // namespace tavrel
