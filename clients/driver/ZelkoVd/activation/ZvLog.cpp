// The file log. Each call opens, appends and closes on its own: no lock, no state, and a line
// written by one thread can only interleave with another at whole-write granularity.
#include "ZvLog.h"

volatile LONG LogLevel = 2;

// One stack buffer of 512 bytes: at most 511 characters plus the terminator.
#define ZV_FILE_LOG_LINE_BYTES 512

NTSTATUS FileLogWrite(PCSTR Format, ...) {
    CHAR line[ZV_FILE_LOG_LINE_BYTES];
    va_list args;
    va_start(args, Format);
    NTSTATUS status = RtlStringCbVPrintfA(line, sizeof(line), Format, args);
    va_end(args);
    // A text that does not fit is dropped whole rather than written cut.
    if (!NT_SUCCESS(status)) return status;
    size_t length = 0;
    status = RtlStringCbLengthA(line, sizeof(line), &length);
    if (!NT_SUCCESS(status)) return status;

    UNICODE_STRING path;
    RtlInitUnicodeString(&path, ZV_FILE_LOG_PATH);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &path, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
    IO_STATUS_BLOCK io;
    HANDLE file = NULL;
    // Append-only access: every write lands at the end of the file, whatever else writes it.
    status = ZwCreateFile(&file, FILE_APPEND_DATA | SYNCHRONIZE, &attributes, &io, NULL, FILE_ATTRIBUTE_NORMAL,
                          FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN_IF,
                          FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE, NULL, 0);
    if (!NT_SUCCESS(status)) return status;
    if (length > 0) {
        status = ZwWriteFile(file, NULL, NULL, NULL, &io, line, (ULONG)length, NULL, NULL);
    }
    ZwClose(file);
    return status;
}
