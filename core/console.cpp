#include "core/console.h"

#include <cstdint>
#include <iostream>
#include <utility>

namespace skirmish {
namespace {

std::ostream* installed = &std::cout;

void AppendHex(std::string& out, unsigned char byte)
{
    static const char digits[] = "0123456789abcdef";
    out += "\\x";
    out += digits[byte >> 4];
    out += digits[byte & 0xF];
}

// Length of the valid UTF-8 sequence starting at text[i], or 0 if it is not one.
size_t Utf8SequenceLength(std::string_view text, size_t i)
{
    auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
    unsigned char lead = byte(i);
    size_t length;
    uint32_t codePoint;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        codePoint = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        codePoint = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        codePoint = lead & 0x07;
    } else {
        return 0;
    }
    if (i + length > text.size())
        return 0;
    for (size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80)
            return 0;
        codePoint = (codePoint << 6) | (byte(i + k) & 0x3F);
    }
    static const uint32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (codePoint < smallest[length] || codePoint > 0x10FFFF || (codePoint >= 0xD800 && codePoint <= 0xDFFF))
        return 0;
    // C1 controls (U+0080 to U+009F) move terminals as much as C0 ones do.
    if (codePoint <= 0x9F)
        return 0;
    return length;
}

} // namespace

std::ostream& ConsoleStream() { return *installed; }

void SetConsoleStream(std::ostream* stream) { installed = stream ? stream : &std::cout; }

std::string EscapeForConsole(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        auto byte = static_cast<unsigned char>(text[i]);
        if (byte >= 0x20 && byte < 0x7F) {
            out += static_cast<char>(byte);
            ++i;
        } else if (size_t length = byte >= 0x80 ? Utf8SequenceLength(text, i) : 0) {
            out.append(text.substr(i, length));
            i += length;
        } else {
            AppendHex(out, byte);
            ++i;
        }
    }
    return out;
}

bool LineBudget::allow(int32_t now)
{
    if (!open_ || !inSecond(now)) {
        open_ = true;
        start_ = now;
        written_ = 0;
    }
    if (written_ < kLinesPerSecond) {
        ++written_;
        return true;
    }
    ++withheld_;
    return false;
}

uint64_t LineBudget::takeWithheld(int32_t now, bool ended)
{
    if (withheld_ == 0 || (!ended && inSecond(now)))
        return 0;
    return std::exchange(withheld_, 0);
}

int64_t LineBudget::msUntilReport(int32_t now) const
{
    if (withheld_ == 0 || !inSecond(now))
        return withheld_ == 0 ? -1 : 0;
    return kSecondMs - static_cast<int64_t>(static_cast<uint32_t>(now) - static_cast<uint32_t>(start_));
}

} // namespace skirmish
