#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Opening the files users name (firmware images, block files, profiles, logs, records) so that no
// path can make the program block or read without end: a FIFO, a terminal, /dev/zero or a
// directory is refused at once with a reason, and a file is read whole before anyone acts on it.
// Reasons are the system's texts ("No such file or directory") or "not a regular file".
class RegularFile {
public:
    // Large enough for any firmware image or block file a reader's flash can hold.
    static constexpr uint64_t kDefaultLimit = 16u << 20;

    // The whole content of a regular file of at most limit bytes. A file that shrinks or grows
    // while it is read is refused too, since then no one knows which content counts.
    static bool ReadAll(const std::string& path, std::vector<uint8_t>& bytes, std::string& reason,
                        uint64_t limit = kDefaultLimit);
    // Opens (creating it when missing) for appending: a regular file, or a character device that
    // never blocks a writer for long (/dev/null, /dev/full). Returns the descriptor, or -1.
    static int OpenForAppend(const std::string& path, std::string& reason);
    // Whether the regular file at path has content whose last line has no line end, so that a line
    // appended to it would be glued onto that line.
    static bool LacksFinalLineBreak(const std::string& path);
    // Writes text beside path and renames it over path once whole, so that no reader of the file
    // sees half of it and a failed write leaves the old file as it was. An existing path that is
    // not a regular file is refused.
    static bool WriteWhole(const std::string& path, const std::string& text, std::string& reason);
    // Whether path names a regular file, without opening it (stat follows links).
    static bool IsRegular(const std::string& path, std::string& reason);
};
