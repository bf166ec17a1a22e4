#include "link/VendorD2xx.h"

#include <cassert>
#include <cstring>
#include <iterator>

#ifdef _WIN32
#include <windows.h>
// The vendor's entry points use the Windows API calling convention.
#define TAGBENCH_D2XX_CALL WINAPI
#else
#include <dlfcn.h>
#define TAGBENCH_D2XX_CALL
#endif

namespace {

void* OpenLibrary(const char* name) {
#ifdef _WIN32
    return reinterpret_cast<void*>(LoadLibraryA(name));
#else
    return dlopen(name, RTLD_NOW | RTLD_LOCAL);
#endif
}

void* FindSymbol(void* library, const char* name) {
#ifdef _WIN32
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
#else
    return dlsym(library, name);
#endif
}

void CloseLibrary(void* library) {
#ifdef _WIN32
    FreeLibrary(static_cast<HMODULE>(library));
#else
    dlclose(library);
#endif
}

// Looks one name up and stores the raw entry point, cast to the entry's signature, in the table.
template <typename R, typename... Args>
bool Bind(std::function<R(Args...)>& entry, void* library, const char* name) {
    void* symbol = FindSymbol(library, name);
    if (symbol == nullptr) {
        entry = nullptr;
        return false;
    }
    entry = reinterpret_cast<R(TAGBENCH_D2XX_CALL*)(Args...)>(symbol);
    return true;
}

}  // namespace

const char* VendorD2xx::DefaultLibraryName() {
#ifdef _WIN32
    return "FTD2XX.DLL";
#else
    return "libftd2xx.so";
#endif
}

std::unique_ptr<VendorD2xx> VendorD2xx::Load(const char* name) {
    if (name == nullptr) {
        return nullptr;
    }
    void* library = OpenLibrary(name);
    if (library == nullptr) {
        return nullptr;
    }
    std::unique_ptr<VendorD2xx> provider(new VendorD2xx(library));
    if (provider->BindAll() == 0) {
        return nullptr;
    }
    return provider;
}

VendorD2xx::~VendorD2xx() {
    // The table's entries point into the library: empty them before it goes.
    m_table = D2xxTable{};
    CloseLibrary(m_hLibrary);
}

int VendorD2xx::BindAll() {
    int found = 0;
    size_t index = 0;
    // The member's own name is the name looked up, so table and library cannot disagree; the
    // assertion keeps this list in step with the table's order and count.
#define TAGBENCH_BIND(fn)                                       \
    assert(index < std::size(kD2xxFunctionNames));              \
    assert(std::strcmp(kD2xxFunctionNames[index++], #fn) == 0); \
    found += Bind(m_table.fn, m_hLibrary, #fn) ? 1 : 0
    TAGBENCH_BIND(FT_Open);
    TAGBENCH_BIND(FT_OpenEx);
    TAGBENCH_BIND(FT_ListDevices);
    TAGBENCH_BIND(FT_Close);
    TAGBENCH_BIND(FT_Read);
    TAGBENCH_BIND(FT_Write);
    TAGBENCH_BIND(FT_IoCtl);
    TAGBENCH_BIND(FT_SetBaudRate);
    TAGBENCH_BIND(FT_SetDivisor);
    TAGBENCH_BIND(FT_SetDataCharacteristics);
    TAGBENCH_BIND(FT_SetFlowControl);
    TAGBENCH_BIND(FT_ResetDevice);
    TAGBENCH_BIND(FT_SetDtr);
    TAGBENCH_BIND(FT_ClrDtr);
    TAGBENCH_BIND(FT_SetRts);
    TAGBENCH_BIND(FT_ClrRts);
    TAGBENCH_BIND(FT_GetModemStatus);
    TAGBENCH_BIND(FT_SetChars);
    TAGBENCH_BIND(FT_Purge);
    TAGBENCH_BIND(FT_SetTimeouts);
    TAGBENCH_BIND(FT_GetQueueStatus);
    TAGBENCH_BIND(FT_SetEventNotification);
    TAGBENCH_BIND(FT_GetStatus);
    TAGBENCH_BIND(FT_SetBreakOn);
    TAGBENCH_BIND(FT_SetBreakOff);
    TAGBENCH_BIND(FT_SetWaitMask);
    TAGBENCH_BIND(FT_WaitOnMask);
    TAGBENCH_BIND(FT_GetEventStatus);
    TAGBENCH_BIND(FT_ReadEE);
    TAGBENCH_BIND(FT_WriteEE);
    TAGBENCH_BIND(FT_EraseEE);
    TAGBENCH_BIND(FT_EE_Program);
    TAGBENCH_BIND(FT_EE_Read);
    TAGBENCH_BIND(FT_EE_UASize);
    TAGBENCH_BIND(FT_EE_UAWrite);
    TAGBENCH_BIND(FT_EE_UARead);
    TAGBENCH_BIND(FT_SetLatencyTimer);
    TAGBENCH_BIND(FT_GetLatencyTimer);
    TAGBENCH_BIND(FT_SetBitMode);
    TAGBENCH_BIND(FT_GetBitMode);
    TAGBENCH_BIND(FT_SetUSBParameters);
#undef TAGBENCH_BIND
    assert(index == std::size(kD2xxFunctionNames));
    (void)index;
    return found;
}

std::unique_ptr<D2xxProvider> LoadVendorD2xx() {
    return VendorD2xx::Load(VendorD2xx::DefaultLibraryName());
}
