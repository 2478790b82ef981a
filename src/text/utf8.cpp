#include "text/utf8.h"

#include <algorithm>

namespace lumenstat {

namespace {

unsigned char byte_at(std::string_view bytes, std::size_t pos) {
    return static_cast<unsigned char>(bytes[pos]);
}

std::size_t ascii_prefix(std::string_view bytes, std::size_t pos) {
    while (pos < bytes.size() && byte_at(bytes, pos) < 0x80) ++pos;
    return pos;
}

constexpr char kReplacementUtf8[] = "\xEF\xBF\xBD";

}  // namespace

Utf8Step decode_utf8_step(std::string_view bytes, std::size_t pos) {
    const unsigned char lead = byte_at(bytes, pos);
    if (lead < 0x80) return {lead, 1, true};

    // Well-formed sequences (Unicode table 3-7): the lead byte fixes how many
    // continuation bytes follow and narrows the range of the first of them, which
    // is what rules out overlong forms, surrogates and values above U+10FFFF.
    int continuation;
    char32_t value;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        continuation = 1;
        value = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        continuation = 2;
        value = lead & 0x0F;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        continuation = 3;
        value = lead & 0x07;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        return {kReplacementCharacter, 1, false};
    }

    std::size_t next = pos + 1;
    for (int i = 0; i < continuation; ++i, ++next) {
        if (next >= bytes.size()) return {kReplacementCharacter, next - pos, false};
        const unsigned char b = byte_at(bytes, next);
        if (b < low || b > high) return {kReplacementCharacter, next - pos, false};
        value = (value << 6) | (b & 0x3F);
        low = 0x80;
        high = 0xBF;
    }
    return {value, next - pos, true};
}

void append_utf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

std::string lossy_utf8(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    std::size_t copied = 0;  // bytes[copied, pos) are valid and not yet appended
    std::size_t pos = 0;
    while (pos < bytes.size()) {
        pos = ascii_prefix(bytes, pos);
        if (pos >= bytes.size()) break;
        const Utf8Step step = decode_utf8_step(bytes, pos);
        if (!step.valid) {
            out.append(bytes.substr(copied, pos - copied));
            out.append(kReplacementUtf8, 3);
            copied = pos + step.length;
        }
        pos += step.length;
    }
    out.append(bytes.substr(copied));
    return out;
}

std::size_t utf8_prefix_length(std::string_view bytes, std::size_t limit) {
    if (bytes.size() <= limit) return bytes.size();
    std::size_t pos = 0;
    while (true) {
        pos = std::min(ascii_prefix(bytes, pos), limit);
        if (pos == limit) return pos;
        const std::size_t length = decode_utf8_step(bytes, pos).length;
        if (pos + length > limit) return pos;
        pos += length;
    }
}

bool is_valid_utf8(std::string_view bytes) {
    std::size_t pos = 0;
    while (pos < bytes.size()) {
        pos = ascii_prefix(bytes, pos);
        if (pos >= bytes.size()) break;
        const Utf8Step step = decode_utf8_step(bytes, pos);
        if (!step.valid) return false;
        pos += step.length;
    }
    return true;
}

}  // namespace lumenstat
