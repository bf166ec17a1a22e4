// The device profile file, loaded from memory.
//
// Input: flags (bit 0: the file is built from the input's lines, else it is the input's bytes as
// they stand), then the bytes or the lines.
//
// What must hold for every input:
//   - every profile's text values have at most 511 characters, names are unique (ignoring case)
//     and lie on one line;
//   - a built file, whose meaning is known line by line, gives the names in the order of their
//     first header and, for each profile, the first value of each key in any copy of its section;
//   - any file: sections given again at its end change no name and no order, and a key given again
//     there changes nothing that the file already had (and is taken where the file lacked it).
#include <array>
#include <cctype>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "FuzzSupport.h"
#include "production/DeviceProfiles.h"

namespace {

constexpr std::array<const char*, 4> kSections = {"Desk reader USB", "door", "Terminal RS232", "x"};
constexpr std::array<const char*, 8> kKeys = {"IsUSBDevice",    "VendorID",    "ProductID", "Manufacturer",
                                              "ManufacturerID", "Description", "MaxPower",  "PlugNPlay"};
// IsUSBDevice, MaxPower and PlugNPlay take numbers.
bool IsNumberKey(size_t key) {
    return key == 0 || key >= 6;
}

std::string Lower(std::string_view text) {
    std::string lower(text);
    for (char& c : lower) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return lower;
}

bool EqualNoCase(std::string_view a, std::string_view b) {
    return Lower(a) == Lower(b);
}

// The name with each letter's case taken from the bits of pattern in turn.
std::string Cased(std::string_view name, uint8_t pattern) {
    std::string cased(name);
    for (size_t i = 0; i < cased.size(); ++i) {
        const auto c = static_cast<unsigned char>(cased[i]);
        cased[i] = static_cast<char>((pattern >> (i % 8)) & 1 ? std::toupper(c) : std::tolower(c));
    }
    return cased;
}

// What one profile should read as: the first value of each key, or the default.
struct Expected {
    std::map<std::string, std::string> values;  // by lower-case key

    const std::string* Find(const char* key) const {
        const auto it = values.find(Lower(key));
        return it != values.end() ? &it->second : nullptr;
    }
    std::string Text(const char* key, const char* defaultValue) const {
        const std::string* value = Find(key);
        return (value != nullptr ? *value : defaultValue).substr(0, DeviceProfiles::kMaxValueLength);
    }
    // Built numbers are plain digits.
    int Integer(const char* key, int defaultValue) const {
        const std::string* value = Find(key);
        return value != nullptr ? std::stoi(*value) : defaultValue;
    }
};

// A file of well-formed lines (headers, keys, comments, blank lines) in the spellings the format
// allows, with what each profile must read as.
struct BuiltFile {
    std::string text;
    std::vector<std::string> names;
    std::map<std::string, Expected> profiles;  // by lower-case name
};

std::string BuildValue(FuzzInput& input, size_t key) {
    const uint8_t shape = input.Byte();
    if (IsNumberKey(key)) {
        return std::to_string(key == 0 ? shape % 3 : shape);
    }
    static constexpr std::string_view kChars = "abcXYZ019_-. ";
    // Now and then longer than any value may be.
    const size_t length = (shape & 0x80) != 0 ? 500 + input.Byte() % 24 : shape % 24;
    std::string value;
    for (size_t i = 0; i < length; ++i) {
        value += kChars[input.Byte() % kChars.size()];
    }
    return value;
}

BuiltFile Build(FuzzInput& input) {
    BuiltFile file;
    std::string section;  // lower case; empty above the first header
    const size_t lines = input.Byte() % 64;
    for (size_t line = 0; line < lines; ++line) {
        const uint8_t op = input.Byte();
        const uint8_t spelling = input.Byte();
        const bool spaced = (spelling & 1) != 0;
        switch (op % 8) {
            case 0: {  // a header
                const std::string name = Cased(kSections[(op >> 3) % kSections.size()], spelling >> 1);
                file.text += spaced ? "[  " + name + " ]" : "[" + name + "]";
                section = Lower(name);
                if (file.profiles.emplace(section, Expected{}).second) {
                    file.names.push_back(name);
                }
                break;
            }
            case 1:
                file.text += spaced ? "# comment" : "; comment = [not] a header";
                break;
            case 2:
                file.text += spaced ? "  \t" : "";
                break;
            default: {  // a key
                const size_t index = (op >> 3) % kKeys.size();
                const std::string key = Cased(kKeys[index], spelling >> 2);
                std::string value = BuildValue(input, index);
                // Spaces around an unquoted value are not part of it; quotes keep them.
                const bool quoted = (spelling & 2) != 0;
                if (!quoted) {
                    const size_t first = value.find_first_not_of(' ');
                    value = first == std::string::npos
                                ? ""
                                : value.substr(first, value.find_last_not_of(' ') - first + 1);
                }
                file.text += key + (spaced ? " = " : "=") + (quoted ? "\"" + value + "\"" : value);
                if (!section.empty()) {
                    file.profiles[section].values.emplace(Lower(key), value);  // the first stays
                }
                break;
            }
        }
        file.text += (op & 0x80) != 0 ? "\r\n" : "\n";
    }
    return file;
}

void CheckAgainst(const DeviceProfiles& profiles, const BuiltFile& file) {
    FUZZ_CHECK(profiles.GetNames() == file.names, "%zu names, %zu built", profiles.GetNames().size(),
               file.names.size());
    for (const std::string& name : file.names) {
        const Expected& expected = file.profiles.at(Lower(name));
        const DeviceProfile p = profiles.Get(name);
        const bool usb = expected.Integer("IsUSBDevice", 0) != 0;
        FUZZ_CHECK(p.bUsb == usb, "[%s] USB %d, built %d", name.c_str(), p.bUsb, usb);
        if (!usb) {
            continue;
        }
        const std::pair<const std::string&, std::string> texts[] = {
            {p.strVendorId, expected.Text("VendorID", "0403")},
            {p.strProductId, expected.Text("ProductID", "6001")},
            {p.strManufacturer, expected.Text("Manufacturer", "QV Cardterminal")},
            {p.strManufacturerId, expected.Text("ManufacturerID", "QV")},
            {p.strDescription, expected.Text("Description", "Device description")},
        };
        for (const auto& [got, want] : texts) {
            FUZZ_CHECK(got == want, "[%s] read '%s', built '%s'", name.c_str(), got.c_str(), want.c_str());
        }
        FUZZ_CHECK(p.nMaxPower == expected.Integer("MaxPower", 40), "[%s] MaxPower %d", name.c_str(),
                   p.nMaxPower);
        FUZZ_CHECK(p.nPnP == expected.Integer("PlugNPlay", 1), "[%s] PlugNPlay %d", name.c_str(), p.nPnP);
    }
}

void CheckShape(const DeviceProfiles& profiles) {
    const std::vector<std::string>& names = profiles.GetNames();
    for (size_t i = 0; i < names.size(); ++i) {
        FUZZ_CHECK(!names[i].empty() && names[i].find_first_of("\r\n") == std::string::npos,
                   "a name that no header gives: '%s'", names[i].c_str());
        for (size_t j = 0; j < i; ++j) {
            FUZZ_CHECK(!EqualNoCase(names[i], names[j]), "[%s] twice", names[i].c_str());
        }
        const DeviceProfile p = profiles.Get(names[i]);
        for (const std::string* text :
             {&p.strVendorId, &p.strProductId, &p.strManufacturer, &p.strManufacturerId, &p.strDescription}) {
            FUZZ_CHECK(text->size() <= DeviceProfiles::kMaxValueLength, "[%s] a value of %zu characters",
                       names[i].c_str(), text->size());
        }
    }
}

// The file with every section given again at its end, with IsUSBDevice 1 and value for the vendor
// ID. The file ends at its first zero byte for the parser, so the copies go there.
std::string WithCopies(std::string_view text, const std::vector<std::string>& names, const char* value) {
    std::string copy(text.substr(0, text.find('\0')));
    for (auto it = names.rbegin(); it != names.rend(); ++it) {
        copy += "\n[" + *it + "]\nIsUSBDevice=1\nVendorID=" + value + "\n";
    }
    return copy;
}

void CheckCopiesAtTheEnd(const DeviceProfiles& profiles, std::string_view text) {
    const std::vector<std::string>& names = profiles.GetNames();
    DeviceProfiles a;
    DeviceProfiles b;
    FUZZ_CHECK(a.LoadText(WithCopies(text, names, "AAAA")) && b.LoadText(WithCopies(text, names, "BBBB")),
               "the file with copies loads");
    FUZZ_CHECK(a.GetNames() == names && b.GetNames() == names, "copies at the end changed the names");
    for (const std::string& name : names) {
        const DeviceProfile p = profiles.Get(name);
        const DeviceProfile pa = a.Get(name);
        const DeviceProfile pb = b.Get(name);
        FUZZ_CHECK(pa.bUsb == pb.bUsb && (!p.bUsb || pa.bUsb), "[%s] USB %d, with copies %d/%d", name.c_str(),
                   p.bUsb, pa.bUsb, pb.bUsb);
        if (!pa.bUsb) {
            continue;
        }
        // Either the file's own first value, or (where it had none) the copy's.
        const bool own = pa.strVendorId == pb.strVendorId && (!p.bUsb || pa.strVendorId == p.strVendorId);
        const bool taken =
            pa.strVendorId == "AAAA" && pb.strVendorId == "BBBB" && (!p.bUsb || p.strVendorId == "0403");
        FUZZ_CHECK(own || taken, "[%s] vendor ID '%s', with copies '%s'/'%s'", name.c_str(),
                   p.strVendorId.c_str(), pa.strVendorId.c_str(), pb.strVendorId.c_str());
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput input(data, size);
    const bool built = (input.Byte() & 1) != 0;
    DeviceProfiles profiles;
    if (built) {
        const BuiltFile file = Build(input);
        FUZZ_CHECK(profiles.LoadText(file.text), "a built file loads");
        CheckShape(profiles);
        CheckAgainst(profiles, file);
        return 0;
    }
    const std::span<const uint8_t> bytes = input.Rest();
    const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    FUZZ_CHECK(profiles.LoadText(text), "any file loads");
    CheckShape(profiles);
    CheckCopiesAtTheEnd(profiles, text);
    return 0;
}
