// The driver log: levelled and plain debug prints on the kernel debug channel, and the small
// file log "\??\C:\ZelkoVd.log" for the slow-path steps that matter when a PC does not boot.
//
// Debug channel: every message goes to component DPFLTR_IHVDRIVER_ID (77).
//   ZvLogError("Routine: text\n", ...)    "[ZelkoVd][ERR] "   LogLevel >= 0, filter level 0
//   ZvLogWarning(...)                     "[ZelkoVd][WARN] "  LogLevel >= 1, filter level 1
//   ZvLogInfo(...)                        "[ZelkoVd][INFO] "  LogLevel >= 2, filter level 3
//   ZvLogDebug(...)                       "[ZelkoVd][DBG] "   LogLevel >= 3, filter level 3
//   ZvLogPlain(...)                       "ZelkoVd: "         always,        filter level 0
// The prefix is joined to the format at compile time, so the format must be a string literal.
// With the fixed LogLevel of 2 debug messages are never printed.
//
// File log: FileLogWrite(format, ...) appends the formatted text as it is (the caller supplies
// its "[Tag]" and the "\n"); at most 511 characters, a longer text is not written at all; every
// failure is silent. It opens a file, so it may only be called at PASSIVE_LEVEL.
#pragma once

#include "../platform.h"

// The driver's log level: 2 for the whole life of the driver (read with an atomic load).
extern volatile LONG LogLevel;

#define ZV_LOG_COMPONENT DPFLTR_IHVDRIVER_ID

FORCEINLINE LONG ZvCurrentLogLevel(VOID) { return InterlockedCompareExchange(&LogLevel, 0, 0); }

#define ZvLogError(...)                                                                          \
    do {                                                                                         \
        if (ZvCurrentLogLevel() >= 0)                                                            \
            DbgPrintEx(ZV_LOG_COMPONENT, DPFLTR_ERROR_LEVEL, "[ZelkoVd][ERR] " __VA_ARGS__);     \
    } while (0)
#define ZvLogWarning(...)                                                                        \
    do {                                                                                         \
        if (ZvCurrentLogLevel() >= 1)                                                            \
            DbgPrintEx(ZV_LOG_COMPONENT, DPFLTR_WARNING_LEVEL, "[ZelkoVd][WARN] " __VA_ARGS__);  \
    } while (0)
#define ZvLogInfo(...)                                                                           \
    do {                                                                                         \
        if (ZvCurrentLogLevel() >= 2)                                                            \
            DbgPrintEx(ZV_LOG_COMPONENT, DPFLTR_INFO_LEVEL, "[ZelkoVd][INFO] " __VA_ARGS__);     \
    } while (0)
#define ZvLogDebug(...)                                                                          \
    do {                                                                                         \
        if (ZvCurrentLogLevel() >= 3)                                                            \
            DbgPrintEx(ZV_LOG_COMPONENT, DPFLTR_INFO_LEVEL, "[ZelkoVd][DBG] " __VA_ARGS__);      \
    } while (0)
#define ZvLogPlain(...) DbgPrintEx(ZV_LOG_COMPONENT, DPFLTR_ERROR_LEVEL, "ZelkoVd: " __VA_ARGS__)

// Path of the file log and the line driver entry writes first on every boot.
#define ZV_FILE_LOG_PATH L"\\??\\C:\\ZelkoVd.log"
#define ZV_FILE_LOG_START_MARKER "========== ZelkoVd DriverEntry START ==========\n"

// Appends one formatted text to the file log. The status is for tests; callers ignore it.
NTSTATUS FileLogWrite(PCSTR Format, ...);
