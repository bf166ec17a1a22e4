#pragma once

#include <charconv>
#include <string>
#include <string_view>

// A whole decimal number from min to max with nothing else in the text; value is left as it was
// when the text is anything else.
template <typename T>
bool ParseNumber(std::string_view text, T min, T max, T& value) {
    T parsed = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), parsed);
    if (ec != std::errc() || end != text.data() + text.size() || parsed < min || parsed > max) {
        return false;
    }
    value = parsed;
    return true;
}

// An option as typed: "--name=value" or "--name" (whose value, if any, is the next word).
struct CliOptionWord {
    std::string name;
    std::string value;
    bool hasValue = false;  // the value came after '='
};
inline CliOptionWord SplitOptionWord(const std::string& arg) {
    const size_t eq = arg.find('=');
    if (eq == std::string::npos) {
        return {arg, {}, false};
    }
    return {arg.substr(0, eq), arg.substr(eq + 1), true};
}
