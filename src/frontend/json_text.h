// A JSON object written out as one line, field by field, in the order given: all the run record
// needs. Text from outside the program goes in as it is: it is escaped as JSON needs, and bytes
// that are no UTF-8 become U+FFFD.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace frontend {

class JsonText {
public:
    // string_limit, when not 0, is the most a string may take in the text, escaped: a longer one is
    // cut, at a character's end, and ends in CUT_MARK. At least 64.
    explicit JsonText(size_t string_limit = 0) : string_limit_(string_limit) { text_ = "{"; }
    static constexpr const char* CUT_MARK = "...[cut]";

    JsonText& field(const char* key, const std::string& value);
    JsonText& field(const char* key, const char* value) { return field(key, std::string(value)); }
    JsonText& field(const char* key, long long value);
    JsonText& field(const char* key, bool value);
    JsonText& field(const char* key, const std::vector<std::string>& values);
    JsonText& null(const char* key);

    // An object as a field's value: its fields follow, until end().
    JsonText& object(const char* key);
    JsonText& end();

    // The object, closed, and a newline.
    std::string line() const { return text_ + "}\n"; }

private:
    void name(const char* key);
    void string(const std::string& value);

    std::string text_;
    bool first_ = true;
    size_t string_limit_;
};

}  // namespace frontend
