#pragma once

// A strict reader for the small XML the conformance reports write (no Qt, no library): a
// declaration, elements with attributes, text with the five entities and character references.
// It refuses what a real parser refuses in such a document: a character XML 1.0 does not allow,
// bytes that are not UTF-8, an unbalanced or crossed element, a bare '&' or '<', a repeated
// attribute, anything but blanks outside the one root element. Comments, CDATA, DOCTYPE and
// processing instructions are refused too, since the reports never write them.

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

struct TinyXmlElement {
    std::string name;
    std::vector<std::pair<std::string, std::string>> attributes;
    std::vector<TinyXmlElement> children;
    std::string text;  // all text directly inside, references resolved

    const std::string* Attribute(std::string_view key) const {
        for (const auto& [n, value] : attributes) {
            if (n == key) {
                return &value;
            }
        }
        return nullptr;
    }
    std::string AttributeOr(std::string_view key, std::string fallback = {}) const {
        const std::string* value = Attribute(key);
        return value != nullptr ? *value : fallback;
    }
    std::vector<const TinyXmlElement*> Children(std::string_view childName) const {
        std::vector<const TinyXmlElement*> found;
        for (const TinyXmlElement& child : children) {
            if (child.name == childName) {
                found.push_back(&child);
            }
        }
        return found;
    }
    const TinyXmlElement* Child(std::string_view childName) const {
        for (const TinyXmlElement& child : children) {
            if (child.name == childName) {
                return &child;
            }
        }
        return nullptr;
    }
};

class TinyXml {
public:
    // False with the reason and the byte offset in error.
    static bool Parse(std::string_view document, TinyXmlElement& root, std::string& error) {
        TinyXml parser(document);
        if (parser.Document(root)) {
            return true;
        }
        error = parser.m_error + " at byte " + std::to_string(parser.m_at);
        return false;
    }

private:
    explicit TinyXml(std::string_view text) : m_text(text) {}

    bool Fail(const std::string& why) {
        if (m_error.empty()) {
            m_error = why;
        }
        return false;
    }
    bool AtEnd() const { return m_at >= m_text.size(); }
    bool StartsWith(std::string_view what) const {
        return m_text.substr(m_at).substr(0, what.size()) == what;
    }
    void SkipBlanks() {
        while (!AtEnd() && (m_text[m_at] == ' ' || m_text[m_at] == '\n' || m_text[m_at] == '\t' ||
                            m_text[m_at] == '\r')) {
            ++m_at;
        }
    }

    static bool AllowedChar(uint32_t c) {
        return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) ||
               (c >= 0xE000 && c <= 0xFFFD) || (c >= 0x10000 && c <= 0x10FFFF);
    }

    // The next character as a code point; false on bytes that are not UTF-8 or a character XML
    // does not allow.
    bool NextChar(uint32_t& c) {
        const auto byte = [&](size_t k) { return static_cast<unsigned char>(m_text[k]); };
        const unsigned char lead = byte(m_at);
        size_t length = 1;
        c = lead;
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
            c = lead & 0x1Fu;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            c = lead & 0x0Fu;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            c = lead & 0x07u;
        } else if (lead >= 0x80) {
            return Fail("a byte that starts no UTF-8 sequence");
        }
        if (m_at + length > m_text.size()) {
            return Fail("a UTF-8 sequence cut off");
        }
        for (size_t k = 1; k < length; ++k) {
            if ((byte(m_at + k) & 0xC0u) != 0x80u) {
                return Fail("a broken UTF-8 sequence");
            }
            c = (c << 6) | (byte(m_at + k) & 0x3Fu);
        }
        static constexpr uint32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
        if (length > 1 && c < kSmallest[length]) {
            return Fail("an overlong UTF-8 sequence");
        }
        if (!AllowedChar(c)) {
            return Fail("a character XML does not allow");
        }
        m_at += length;
        return true;
    }

    static bool NameStart(char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == ':';
    }
    static bool NameChar(char c) { return NameStart(c) || (c >= '0' && c <= '9') || c == '-' || c == '.'; }

    bool Name(std::string& name) {
        if (AtEnd() || !NameStart(m_text[m_at])) {
            return Fail("a name expected");
        }
        const size_t start = m_at;
        while (!AtEnd() && NameChar(m_text[m_at])) {
            ++m_at;
        }
        name = std::string(m_text.substr(start, m_at - start));
        return true;
    }

    static void AppendUtf8(std::string& out, uint32_t c) {
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }

    // After '&': an entity or a character reference up to its ';'.
    bool Reference(std::string& out) {
        const size_t end = m_text.find(';', m_at);
        if (end == std::string_view::npos || end - m_at > 10) {
            return Fail("a bare '&'");
        }
        const std::string_view ref = m_text.substr(m_at, end - m_at);
        m_at = end + 1;
        static const std::pair<std::string_view, char> kEntities[] = {
            {"amp", '&'}, {"lt", '<'}, {"gt", '>'}, {"quot", '"'}, {"apos", '\''}};
        for (const auto& [entity, c] : kEntities) {
            if (ref == entity) {
                out += c;
                return true;
            }
        }
        if (ref.size() < 2 || ref[0] != '#') {
            return Fail("an unknown entity");
        }
        const bool hex = ref[1] == 'x';
        const std::string_view digits = ref.substr(hex ? 2 : 1);
        if (digits.empty()) {
            return Fail("a character reference without digits");
        }
        uint32_t c = 0;
        for (const char d : digits) {
            uint32_t v = 0;
            if (d >= '0' && d <= '9') {
                v = static_cast<uint32_t>(d - '0');
            } else if (hex && d >= 'a' && d <= 'f') {
                v = static_cast<uint32_t>(d - 'a' + 10);
            } else if (hex && d >= 'A' && d <= 'F') {
                v = static_cast<uint32_t>(d - 'A' + 10);
            } else {
                return Fail("a bad digit in a character reference");
            }
            c = c * (hex ? 16 : 10) + v;
        }
        if (!AllowedChar(c)) {
            return Fail("a reference to a character XML does not allow");
        }
        AppendUtf8(out, c);
        return true;
    }

    bool AttributeValue(std::string& value) {
        if (AtEnd() || (m_text[m_at] != '"' && m_text[m_at] != '\'')) {
            return Fail("an attribute value without quotes");
        }
        const char quote = m_text[m_at++];
        for (;;) {
            if (AtEnd()) {
                return Fail("an attribute value without its end");
            }
            const char c = m_text[m_at];
            if (c == quote) {
                ++m_at;
                return true;
            }
            if (c == '<') {
                return Fail("'<' in an attribute value");
            }
            if (c == '&') {
                ++m_at;
                if (!Reference(value)) {
                    return false;
                }
                continue;
            }
            const size_t start = m_at;
            uint32_t point = 0;
            if (!NextChar(point)) {
                return false;
            }
            value += m_text.substr(start, m_at - start);
        }
    }

    bool Element(TinyXmlElement& element, int depth) {
        if (depth > 64) {
            return Fail("elements nested too deep");
        }
        ++m_at;  // '<'
        if (!Name(element.name)) {
            return false;
        }
        for (;;) {
            const size_t before = m_at;
            SkipBlanks();
            if (AtEnd()) {
                return Fail("a tag without its end");
            }
            if (StartsWith("/>")) {
                m_at += 2;
                return true;
            }
            if (m_text[m_at] == '>') {
                ++m_at;
                break;
            }
            if (m_at == before) {
                return Fail("no blank before an attribute");
            }
            std::string key;
            std::string value;
            if (!Name(key)) {
                return false;
            }
            SkipBlanks();
            if (AtEnd() || m_text[m_at] != '=') {
                return Fail("an attribute without '='");
            }
            ++m_at;
            SkipBlanks();
            if (!AttributeValue(value)) {
                return false;
            }
            if (element.Attribute(key) != nullptr) {
                return Fail("attribute " + key + " twice");
            }
            element.attributes.emplace_back(key, value);
        }
        // Content up to the matching end tag.
        for (;;) {
            if (AtEnd()) {
                return Fail("element " + element.name + " without its end tag");
            }
            if (StartsWith("</")) {
                m_at += 2;
                std::string name;
                if (!Name(name)) {
                    return false;
                }
                SkipBlanks();
                if (name != element.name || AtEnd() || m_text[m_at] != '>') {
                    return Fail("end tag " + name + " in element " + element.name);
                }
                ++m_at;
                return true;
            }
            if (StartsWith("<!") || StartsWith("<?")) {
                return Fail("markup the reports never write");
            }
            const char c = m_text[m_at];
            if (c == '<') {
                element.children.emplace_back();
                if (!Element(element.children.back(), depth + 1)) {
                    return false;
                }
            } else if (c == '&') {
                ++m_at;
                if (!Reference(element.text)) {
                    return false;
                }
            } else if (StartsWith("]]>")) {
                return Fail("']]>' in text");
            } else {
                const size_t start = m_at;
                uint32_t point = 0;
                if (!NextChar(point)) {
                    return false;
                }
                element.text += m_text.substr(start, m_at - start);
            }
        }
    }

    bool Document(TinyXmlElement& root) {
        if (StartsWith("<?xml ")) {
            const size_t end = m_text.find("?>");
            if (end == std::string_view::npos) {
                return Fail("a declaration without its end");
            }
            m_at = end + 2;
        }
        SkipBlanks();
        if (AtEnd() || m_text[m_at] != '<' || StartsWith("<!") || StartsWith("<?")) {
            return Fail("no root element");
        }
        if (!Element(root, 0)) {
            return false;
        }
        SkipBlanks();
        return AtEnd() || Fail("more after the root element");
    }

    std::string_view m_text;
    size_t m_at = 0;
    std::string m_error;
};
