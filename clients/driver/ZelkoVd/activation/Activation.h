// The activation layer's entry points: the auto-activation thread, the management-API query
// with the kernel HTTP GET under it, the boot adapter's MAC discovery and its IP maintenance.
//
// Everything here runs at PASSIVE_LEVEL on the activation thread, except ZvActivationWake, which
// whoever stops the thread calls.
#pragma once

#include "../platform.h"

// Status values of the query that not every header set defines.
#ifndef STATUS_REQUEST_NOT_ACCEPTED
#define STATUS_REQUEST_NOT_ACCEPTED ((NTSTATUS)0xC00000D0L)
#endif
#ifndef STATUS_INVALID_NETWORK_RESPONSE
#define STATUS_INVALID_NETWORK_RESPONSE ((NTSTATUS)0xC00000C3L)
#endif
#ifndef STATUS_NETWORK_UNREACHABLE
#define STATUS_NETWORK_UNREACHABLE ((NTSTATUS)0xC000023CL)
#endif
#ifndef STATUS_DATA_ERROR
#define STATUS_DATA_ERROR ((NTSTATUS)0xC000003EL)
#endif

// The query's response buffer and the texts built from it (bytes, terminator included).
#define ZV_API_RESPONSE_BYTES 8192
#define ZV_API_IQN_BYTES 256
#define ZV_API_MAC_BYTES 32
#define ZV_API_TOKEN_BYTES 64
// The request the HTTP GET sends is built in a buffer of this size.
#define ZV_HTTP_REQUEST_BYTES 512

// Wakes the activation thread from any sleep; called right after ActivationThreadRunning was
// cleared, so the thread sees the stop at once instead of after its current sleep.
VOID ZvActivationWake(VOID);
// The auto-activation thread (context: the AdapterExt).
KSTART_ROUTINE ZvActivationThread;

// One HTTP/1.1 GET of Path from ServerIp:Port (dotted IPv4 text). On success Response holds the
// body (everything after the header block), NUL-terminated, and *BodyLength its length. At most
// ResponseSize - 1 bytes are received. A step that timed out fails with STATUS_IO_TIMEOUT.
NTSTATUS WskHttpGet(PCWSTR ServerIp, USHORT Port, PCSTR Path, PCHAR Response, ULONG ResponseSize,
                    PULONG BodyLength);

// This PC's MAC as 12 lower-case hex digits: the configured "NetworkAddress" of the first
// network adapter class subkey (0000..0099) that has a usable one. Capacity in WCHARs, at least
// 13 (digits and terminator). STATUS_NOT_FOUND when no subkey qualifies.
NTSTATUS GetLocalMacAddress(PWCHAR MacText, ULONG Capacity);

// The network adapter class key, whose numbered subkeys carry each adapter's configuration
// ("NetworkAddress", "NetCfgInstanceId"): read by the MAC lookup and the IP maintenance.
#define ZV_NIC_CLASS_KEY L"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E972-E325-11CE-BFC1-08002BE10318}"
// ZwOpenKey of Name (absolute, or relative to Root), case-insensitive, kernel handle.
NTSTATUS ZvOpenKey(PHANDLE Key, HANDLE Root, PCWSTR Name, ACCESS_MASK Access);

// Asks the management API which image and token belong to this PC and stores them in the
// driver-wide parameter set. Changes nothing when it fails.
NTSTATUS QueryClientConfigViaApi(VOID);

// The second half of the query: judges the answer body Body[0..Length) and, once its result code
// and image are accepted, stores server, client id, IQN and token in the parameter set (steps 5
// to 13 of the query, logs included). Mac is this PC's MAC text as asked for, LocalMac the same
// text in ASCII (NUL-terminated, at least 12 characters' room). Changes nothing when it fails.
NTSTATUS ZvApplyApiAnswer(PCSTR Body, ULONG Length, PCWSTR Mac, PCSTR LocalMac);

// Writes the boot-information block's address settings as static TCP/IP values of the adapter
// whose configured "NetworkAddress" is the boot MAC. Reports failures in the log only.
VOID MaintainBootNicIp(VOID);

// A token as the logs show it: its first 4 characters, "…" and its length ("3f9a…(48)"), or
// "(none)" when empty. Tokens shorter than 8 characters show no characters at all ("…(5)").
// Out receives a NUL-terminated UTF-8 text; 24 bytes always suffice.
VOID ZvMaskTokenA(PCSTR Token, PCHAR Out, ULONG OutBytes);
VOID ZvMaskTokenW(PCWSTR Token, PCHAR Out, ULONG OutBytes);
#define ZV_MASKED_TOKEN_BYTES 24
