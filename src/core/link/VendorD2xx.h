#pragma once

#include <memory>
#include <string>

#include "link/D2xx.h"

// The vendor's D2XX library, loaded at run time: no link-time dependency, so the program starts
// and keeps its COM kind on machines without it. Every one of the 41 names is looked up; a name
// the library lacks leaves its entry empty. The library stays loaded as long as this object lives.
class VendorD2xx final : public D2xxProvider {
public:
    // "libftd2xx.so" here, "FTD2XX.DLL" on Windows.
    static const char* DefaultLibraryName();

    // Loads a library by file name (searched the platform's way) or by path. Null when it cannot
    // be loaded, or when it exports none of the 41 names (then it is no D2XX library at all).
    static std::unique_ptr<VendorD2xx> Load(const char* name);

    ~VendorD2xx() override;
    VendorD2xx(const VendorD2xx&) = delete;
    VendorD2xx& operator=(const VendorD2xx&) = delete;

    std::string Name() const override { return "vendor library"; }

private:
    explicit VendorD2xx(void* library) : m_hLibrary(library) {}
    // Fills the table from the library; returns how many names were found.
    int BindAll();

    void* m_hLibrary;
};
