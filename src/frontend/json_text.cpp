#include "frontend/json_text.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

namespace frontend {

namespace {

// The length of the well-formed UTF-8 sequence at text[i], or 0 when it is none.
size_t utf8_sequence(const std::string& text, size_t i) {
    const auto byte = [&text](size_t k) { return static_cast<uint8_t>(text[k]); };
    const uint8_t lead = byte(i);
    size_t length = 0;
    uint8_t low = 0x80, high = 0xBF;  // the second byte's range: no overlong form, no surrogate
    if (lead >= 0xC2 && lead <= 0xDF) length = 2;
    else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    }
    if (length == 0 || i + length > text.size()) return 0;
    if (byte(i + 1) < low || byte(i + 1) > high) return 0;
    for (size_t k = 2; k < length; ++k) {
        if (byte(i + k) < 0x80 || byte(i + k) > 0xBF) return 0;
    }
    return length;
}

}  // namespace

void JsonText::name(const char* key) {
    if (!first_) text_ += ',';
    first_ = false;
    string(key);
    text_ += ':';
}

void JsonText::string(const std::string& value) {
    text_ += '"';
    const size_t start = text_.size();
    const size_t mark_length = std::strlen(CUT_MARK);
    size_t fits = start;  // the end of the last whole character that leaves room for the mark
    // Looked at after each character, escaped as a whole: a cut never splits an escape or a sequence.
    const auto cut_when_over = [&]() {
        const size_t taken = text_.size() - start;
        if (string_limit_ == 0 || taken <= string_limit_) {
            if (taken + mark_length <= string_limit_) fits = text_.size();
            return false;
        }
        text_.resize(fits);
        text_ += CUT_MARK;
        return true;
    };
    for (size_t i = 0; i < value.size() && !cut_when_over();) {
        const auto c = static_cast<uint8_t>(value[i]);
        if (c >= 0x80) {
            const size_t length = utf8_sequence(value, i);
            text_ += length > 0 ? value.substr(i, length) : "\xEF\xBF\xBD";
            i += length > 0 ? length : 1;
            continue;
        }
        switch (c) {
            case '"': text_ += "\\\""; break;
            case '\\': text_ += "\\\\"; break;
            case '\b': text_ += "\\b"; break;
            case '\f': text_ += "\\f"; break;
            case '\n': text_ += "\\n"; break;
            case '\r': text_ += "\\r"; break;
            case '\t': text_ += "\\t"; break;
            default:
                if (c < 0x20) {
                    char escaped[8];
                    std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
                    text_ += escaped;
                } else {
                    text_ += static_cast<char>(c);
                }
        }
        ++i;
    }
    cut_when_over();
    text_ += '"';
}

JsonText& JsonText::field(const char* key, const std::string& value) {
    name(key);
    string(value);
    return *this;
}

JsonText& JsonText::field(const char* key, long long value) {
    name(key);
    text_ += std::to_string(value);
    return *this;
}

JsonText& JsonText::field(const char* key, bool value) {
    name(key);
    text_ += value ? "true" : "false";
    return *this;
}

JsonText& JsonText::field(const char* key, const std::vector<std::string>& values) {
    name(key);
    text_ += '[';
    for (size_t k = 0; k < values.size(); ++k) {
        if (k > 0) text_ += ',';
        string(values[k]);
    }
    text_ += ']';
    return *this;
}

JsonText& JsonText::null(const char* key) {
    name(key);
    text_ += "null";
    return *this;
}

JsonText& JsonText::object(const char* key) {
    name(key);
    text_ += '{';
    first_ = true;
    return *this;
}

JsonText& JsonText::end() {
    text_ += '}';
    first_ = false;
    return *this;
}

}  // namespace frontend
