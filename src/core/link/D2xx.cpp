#include "link/D2xx.h"

const char* const kD2xxFunctionNames[41] = {
    "FT_Open",
    "FT_OpenEx",
    "FT_ListDevices",
    "FT_Close",
    "FT_Read",
    "FT_Write",
    "FT_IoCtl",
    "FT_SetBaudRate",
    "FT_SetDivisor",
    "FT_SetDataCharacteristics",
    "FT_SetFlowControl",
    "FT_ResetDevice",
    "FT_SetDtr",
    "FT_ClrDtr",
    "FT_SetRts",
    "FT_ClrRts",
    "FT_GetModemStatus",
    "FT_SetChars",
    "FT_Purge",
    "FT_SetTimeouts",
    "FT_GetQueueStatus",
    "FT_SetEventNotification",
    "FT_GetStatus",
    "FT_SetBreakOn",
    "FT_SetBreakOff",
    "FT_SetWaitMask",
    "FT_WaitOnMask",
    "FT_GetEventStatus",
    "FT_ReadEE",
    "FT_WriteEE",
    "FT_EraseEE",
    "FT_EE_Program",
    "FT_EE_Read",
    "FT_EE_UASize",
    "FT_EE_UAWrite",
    "FT_EE_UARead",
    "FT_SetLatencyTimer",
    "FT_GetLatencyTimer",
    "FT_SetBitMode",
    "FT_GetBitMode",
    "FT_SetUSBParameters",
};

std::shared_ptr<D2xxProvider> CreateDefaultD2xx() {
    if (auto vendor = LoadVendorD2xx()) {
        return vendor;
    }
    return CreateFtdiD2xx();
}
