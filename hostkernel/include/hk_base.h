// Basic NT types, status codes and structures shared by every part of the host kernel.
//
// The host kernel runs Windows kernel code on an LP64 Linux system, so every type is spelled in
// fixed-width terms to keep the Windows LLP64 sizes: ULONG and LONG are 32 bits, pointers and
// ULONG_PTR are 64 bits, WCHAR is 16 bits (the whole host build uses -fshort-wchar so that
// L"..." literals match). Names, values and layouts follow the WDK.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <string.h>
#include <stdarg.h>

#if defined(__cplusplus)
#define HK_EXTERN_C extern "C"
#define HK_BEGIN_DECLS extern "C" {
#define HK_END_DECLS }
#else
#define HK_EXTERN_C
#define HK_BEGIN_DECLS
#define HK_END_DECLS
#endif

#if defined(__SIZEOF_WCHAR_T__) && __SIZEOF_WCHAR_T__ != 2
#error "code built against the host kernel must be compiled with -fshort-wchar"
#endif

// ---------------------------------------------------------------------------------------------
// Calling conventions and annotations (no meaning on x86-64 Linux)

#define NTAPI
#define NTSYSAPI
#define NTKERNELAPI
#define NTHALAPI
#define WINAPI
#define __stdcall
#define __cdecl
#define FASTCALL
#define DECLSPEC_NOINLINE __attribute__((noinline))
#define DECLSPEC_ALIGN(x) __attribute__((aligned(x)))
#define FORCEINLINE static inline __attribute__((always_inline))
#define NTAPI_INLINE
#define IN
#define OUT
#define OPTIONAL
#define CONST const
#define VOID void
#define _In_
#define _In_opt_
#define _Out_
#define _Out_opt_
#define _Inout_
#define _Inout_opt_
#define _Use_decl_annotations_
#define _IRQL_requires_max_(x)
#define _IRQL_requires_(x)
#define _Function_class_(x)
#define _When_(a, b)
#define _Must_inspect_result_
#define _Success_(x)
#define _Printf_format_string_
#define _In_reads_bytes_(x)
#define _Out_writes_bytes_(x)
#define _Out_writes_(x)
#define _In_reads_(x)
#define _Dispatch_type_(x)
#define UNREFERENCED_PARAMETER(P) ((void)(P))
#define DBG_UNREFERENCED_PARAMETER(P) ((void)(P))
#define DBG_UNREFERENCED_LOCAL_VARIABLE(V) ((void)(V))
#define C_ASSERT(e) static_assert(e, #e)

// ---------------------------------------------------------------------------------------------
// Integer and character types (LLP64)

typedef void* PVOID;
typedef void** PPVOID;
typedef const void* PCVOID;
typedef char CHAR;
typedef CHAR CCHAR;
typedef uint8_t UCHAR;
typedef int16_t SHORT;
typedef int16_t CSHORT;
typedef uint16_t USHORT;
typedef int32_t LONG;
typedef uint32_t ULONG;
typedef int32_t INT;
typedef uint32_t UINT;
typedef int64_t LONGLONG;
typedef uint64_t ULONGLONG;
typedef int64_t LONG64;
typedef uint64_t ULONG64;
typedef int32_t LONG32;
typedef uint32_t ULONG32;
typedef uint32_t DWORD;
typedef uint64_t DWORD64;
typedef uint16_t WORD;
typedef uint8_t BYTE;
typedef uint8_t BOOLEAN;
typedef int32_t BOOL;
typedef intptr_t LONG_PTR;
typedef uintptr_t ULONG_PTR;
typedef intptr_t INT_PTR;
typedef uintptr_t UINT_PTR;
typedef ULONG_PTR SIZE_T;
typedef LONG_PTR SSIZE_T;
typedef ULONG_PTR DWORD_PTR;
typedef ULONG_PTR KAFFINITY;
typedef KAFFINITY* PKAFFINITY;
typedef int8_t INT8;
typedef uint8_t UINT8;
typedef int16_t INT16;
typedef uint16_t UINT16;
typedef int32_t INT32;
typedef uint32_t UINT32;
typedef int64_t INT64;
typedef uint64_t UINT64;
typedef wchar_t WCHAR;

typedef CHAR* PCHAR;
typedef char* PSTR;
typedef char* LPSTR;
typedef const char* PCSTR;
typedef const char* LPCSTR;
typedef CHAR* PCCHAR;
typedef UCHAR* PUCHAR;
typedef SHORT* PSHORT;
typedef USHORT* PUSHORT;
typedef LONG* PLONG;
typedef ULONG* PULONG;
typedef LONGLONG* PLONGLONG;
typedef ULONGLONG* PULONGLONG;
typedef LONG64* PLONG64;
typedef ULONG64* PULONG64;
typedef ULONG_PTR* PULONG_PTR;
typedef LONG_PTR* PLONG_PTR;
typedef SIZE_T* PSIZE_T;
typedef BOOLEAN* PBOOLEAN;
typedef DWORD* PDWORD;
typedef WORD* PWORD;
typedef BYTE* PBYTE;
typedef WCHAR* PWCHAR;
typedef WCHAR* PWSTR;
typedef WCHAR* LPWSTR;
typedef WCHAR* PWCH;
typedef const WCHAR* PCWSTR;
typedef const WCHAR* LPCWSTR;
typedef const WCHAR* PCWCH;
typedef char* PCH;
typedef const char* PCCH;
typedef const char* PCSZ;

typedef LONG NTSTATUS;
typedef NTSTATUS* PNTSTATUS;
typedef PVOID HANDLE;
typedef HANDLE* PHANDLE;
typedef ULONG ACCESS_MASK;
typedef ACCESS_MASK* PACCESS_MASK;
typedef UCHAR KIRQL;
typedef KIRQL* PKIRQL;
typedef CCHAR KPROCESSOR_MODE;
typedef LONG KPRIORITY;
typedef ULONG_PTR KSPIN_LOCK;
typedef KSPIN_LOCK* PKSPIN_LOCK;
typedef ULONG LOGICAL;
typedef ULONG* PLOGICAL;
typedef ULONG DEVICE_TYPE;
typedef ULONG EXECUTION_STATE;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif
#ifndef NULL
#ifdef __cplusplus
#define NULL nullptr
#else
#define NULL ((void*)0)
#endif
#endif

#define MAXUCHAR 0xff
#define MAXUSHORT 0xffff
#define MAXULONG 0xffffffffu
#define MAXLONG 0x7fffffff
#define MAXLONGLONG 0x7fffffffffffffffll
#define MAXULONGLONG 0xffffffffffffffffull
#define MAXSIZE_T (~(SIZE_T)0)
#define MAXULONG_PTR (~(ULONG_PTR)0)
#define MAXLONG_PTR ((LONG_PTR)(MAXULONG_PTR >> 1))

static_assert(sizeof(ULONG) == 4, "ULONG is 32 bits on Windows");
static_assert(sizeof(LONG) == 4, "LONG is 32 bits on Windows");
static_assert(sizeof(WCHAR) == 2, "WCHAR is 16 bits on Windows");
static_assert(sizeof(PVOID) == 8, "x64 only");

typedef union _LARGE_INTEGER {
    struct {
        ULONG LowPart;
        LONG HighPart;
    };
    struct {
        ULONG LowPart;
        LONG HighPart;
    } u;
    LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;

typedef union _ULARGE_INTEGER {
    struct {
        ULONG LowPart;
        ULONG HighPart;
    };
    struct {
        ULONG LowPart;
        ULONG HighPart;
    } u;
    ULONGLONG QuadPart;
} ULARGE_INTEGER, *PULARGE_INTEGER;

typedef LARGE_INTEGER PHYSICAL_ADDRESS, *PPHYSICAL_ADDRESS;

typedef struct _GUID {
    ULONG Data1;
    USHORT Data2;
    USHORT Data3;
    UCHAR Data4[8];
} GUID, *PGUID;
typedef const GUID* LPCGUID;

// ---------------------------------------------------------------------------------------------
// Structure helpers

#define FIELD_OFFSET(type, field) ((LONG)offsetof(type, field))
#define RTL_FIELD_SIZE(type, field) (sizeof(((type*)0)->field))
#define RTL_SIZEOF_THROUGH_FIELD(type, field) (FIELD_OFFSET(type, field) + RTL_FIELD_SIZE(type, field))
#define RTL_NUMBER_OF(A) (sizeof(A) / sizeof((A)[0]))
#define ARRAYSIZE(A) RTL_NUMBER_OF(A)
// offsetof rather than the WDK's member access through a null pointer, which UBSan reports.
#define CONTAINING_RECORD(address, type, field) ((type*)((PCHAR)(address) - offsetof(type, field)))
#define ALIGN_DOWN_BY(length, alignment) ((ULONG_PTR)(length) & ~((ULONG_PTR)(alignment) - 1))
#define ALIGN_UP_BY(length, alignment) (ALIGN_DOWN_BY(((ULONG_PTR)(length) + (alignment) - 1), (alignment)))
#define ROUND_TO_PAGES(Size) (((ULONG_PTR)(Size) + PAGE_SIZE - 1) & ~(PAGE_SIZE - 1))

#ifndef PAGE_SIZE
#define PAGE_SIZE 0x1000
#endif
#define PAGE_SHIFT 12

// ---------------------------------------------------------------------------------------------
// Status values (the ones drivers of this project use; same numbers as ntstatus.h)

#define NT_SUCCESS(Status) (((NTSTATUS)(Status)) >= 0)
#define NT_INFORMATION(Status) ((((ULONG)(Status)) >> 30) == 1)
#define NT_WARNING(Status) ((((ULONG)(Status)) >> 30) == 2)
#define NT_ERROR(Status) ((((ULONG)(Status)) >> 30) == 3)

#define STATUS_SUCCESS                   ((NTSTATUS)0x00000000L)
#define STATUS_WAIT_0                    ((NTSTATUS)0x00000000L)
#define STATUS_WAIT_1                    ((NTSTATUS)0x00000001L)
#define STATUS_WAIT_63                   ((NTSTATUS)0x0000003FL)
#define STATUS_ABANDONED                 ((NTSTATUS)0x00000080L)
#define STATUS_ABANDONED_WAIT_0          ((NTSTATUS)0x00000080L)
#define STATUS_USER_APC                  ((NTSTATUS)0x000000C0L)
#define STATUS_ALERTED                   ((NTSTATUS)0x00000101L)
#define STATUS_TIMEOUT                   ((NTSTATUS)0x00000102L)
#define STATUS_PENDING                   ((NTSTATUS)0x00000103L)
#define STATUS_REPARSE                   ((NTSTATUS)0x00000104L)
#define STATUS_MORE_ENTRIES              ((NTSTATUS)0x00000105L)
#define STATUS_NOT_ALL_ASSIGNED          ((NTSTATUS)0x00000106L)
#define STATUS_SOME_NOT_MAPPED           ((NTSTATUS)0x00000107L)
#define STATUS_NOTIFY_CLEANUP            ((NTSTATUS)0x0000010BL)
#define STATUS_NOTIFY_ENUM_DIR           ((NTSTATUS)0x0000010CL)
#define STATUS_OBJECT_NAME_EXISTS        ((NTSTATUS)0x40000000L)
#define STATUS_BUFFER_OVERFLOW           ((NTSTATUS)0x80000005L)
#define STATUS_NO_MORE_FILES             ((NTSTATUS)0x80000006L)
#define STATUS_DEVICE_BUSY               ((NTSTATUS)0x80000011L)
#define STATUS_NO_MORE_ENTRIES           ((NTSTATUS)0x8000001AL)
#define STATUS_UNSUCCESSFUL              ((NTSTATUS)0xC0000001L)
#define STATUS_NOT_IMPLEMENTED           ((NTSTATUS)0xC0000002L)
#define STATUS_INVALID_INFO_CLASS        ((NTSTATUS)0xC0000003L)
#define STATUS_INFO_LENGTH_MISMATCH      ((NTSTATUS)0xC0000004L)
#define STATUS_ACCESS_VIOLATION          ((NTSTATUS)0xC0000005L)
#define STATUS_INVALID_HANDLE            ((NTSTATUS)0xC0000008L)
#define STATUS_INVALID_PARAMETER         ((NTSTATUS)0xC000000DL)
#define STATUS_NO_SUCH_DEVICE            ((NTSTATUS)0xC000000EL)
#define STATUS_NO_SUCH_FILE              ((NTSTATUS)0xC000000FL)
#define STATUS_INVALID_DEVICE_REQUEST    ((NTSTATUS)0xC0000010L)
#define STATUS_END_OF_FILE               ((NTSTATUS)0xC0000011L)
#define STATUS_NO_MEDIA_IN_DEVICE        ((NTSTATUS)0xC0000013L)
#define STATUS_NONEXISTENT_SECTOR        ((NTSTATUS)0xC0000015L)
#define STATUS_MORE_PROCESSING_REQUIRED  ((NTSTATUS)0xC0000016L)
#define STATUS_NO_MEMORY                 ((NTSTATUS)0xC0000017L)
#define STATUS_ACCESS_DENIED             ((NTSTATUS)0xC0000022L)
#define STATUS_BUFFER_TOO_SMALL          ((NTSTATUS)0xC0000023L)
#define STATUS_OBJECT_TYPE_MISMATCH      ((NTSTATUS)0xC0000024L)
#define STATUS_DISK_CORRUPT_ERROR        ((NTSTATUS)0xC0000032L)
#define STATUS_OBJECT_NAME_INVALID       ((NTSTATUS)0xC0000033L)
#define STATUS_OBJECT_NAME_NOT_FOUND     ((NTSTATUS)0xC0000034L)
#define STATUS_OBJECT_NAME_COLLISION     ((NTSTATUS)0xC0000035L)
#define STATUS_OBJECT_PATH_INVALID       ((NTSTATUS)0xC0000039L)
#define STATUS_OBJECT_PATH_NOT_FOUND     ((NTSTATUS)0xC000003AL)
#define STATUS_OBJECT_PATH_SYNTAX_BAD    ((NTSTATUS)0xC000003BL)
#define STATUS_DATA_OVERRUN              ((NTSTATUS)0xC000003CL)
#define STATUS_CRC_ERROR                 ((NTSTATUS)0xC000003FL)
#define STATUS_SHARING_VIOLATION         ((NTSTATUS)0xC0000043L)
#define STATUS_DELETE_PENDING            ((NTSTATUS)0xC0000056L)
#define STATUS_INSUFFICIENT_RESOURCES    ((NTSTATUS)0xC000009AL)
#define STATUS_DEVICE_NOT_READY          ((NTSTATUS)0xC00000A3L)
#define STATUS_INVALID_DEVICE_STATE      ((NTSTATUS)0xC0000184L)
#define STATUS_IO_DEVICE_ERROR           ((NTSTATUS)0xC0000185L)
#define STATUS_MEDIA_WRITE_PROTECTED     ((NTSTATUS)0xC00000A2L)
#define STATUS_DEVICE_DATA_ERROR         ((NTSTATUS)0xC000009CL)
#define STATUS_DEVICE_NOT_CONNECTED      ((NTSTATUS)0xC000009DL)
#define STATUS_DEVICE_POWER_FAILURE      ((NTSTATUS)0xC000009EL)
#define STATUS_FILE_IS_A_DIRECTORY       ((NTSTATUS)0xC00000BAL)
#define STATUS_NOT_SUPPORTED             ((NTSTATUS)0xC00000BBL)
#define STATUS_BAD_NETWORK_PATH          ((NTSTATUS)0xC00000BEL)
#define STATUS_NETWORK_BUSY              ((NTSTATUS)0xC00000BFL)
#define STATUS_INVALID_NETWORK_RESPONSE  ((NTSTATUS)0xC00000C3L)
#define STATUS_UNEXPECTED_NETWORK_ERROR  ((NTSTATUS)0xC00000C4L)
#define STATUS_IO_TIMEOUT                ((NTSTATUS)0xC00000B5L)
#define STATUS_FILE_INVALID              ((NTSTATUS)0xC0000098L)
#define STATUS_DISK_FULL                 ((NTSTATUS)0xC000007FL)
#define STATUS_NOT_A_DIRECTORY           ((NTSTATUS)0xC0000103L)
#define STATUS_NAME_TOO_LONG             ((NTSTATUS)0xC0000106L)
#define STATUS_CANCELLED                 ((NTSTATUS)0xC0000120L)
#define STATUS_FILE_CLOSED               ((NTSTATUS)0xC0000128L)
#define STATUS_INVALID_PARAMETER_1       ((NTSTATUS)0xC00000EFL)
#define STATUS_INVALID_PARAMETER_2       ((NTSTATUS)0xC00000F0L)
#define STATUS_INVALID_PARAMETER_3       ((NTSTATUS)0xC00000F1L)
#define STATUS_INVALID_PARAMETER_4       ((NTSTATUS)0xC00000F2L)
#define STATUS_INVALID_PARAMETER_5       ((NTSTATUS)0xC00000F3L)
#define STATUS_INVALID_PARAMETER_6       ((NTSTATUS)0xC00000F4L)
#define STATUS_INTERNAL_ERROR            ((NTSTATUS)0xC00000E5L)
#define STATUS_INVALID_BUFFER_SIZE       ((NTSTATUS)0xC0000206L)
#define STATUS_INVALID_ADDRESS           ((NTSTATUS)0xC0000141L)
#define STATUS_ADDRESS_ALREADY_EXISTS    ((NTSTATUS)0xC000020AL)
#define STATUS_CONNECTION_DISCONNECTED   ((NTSTATUS)0xC000020CL)
#define STATUS_CONNECTION_RESET          ((NTSTATUS)0xC000020DL)
#define STATUS_TRANSACTION_ABORTED       ((NTSTATUS)0xC000020FL)
#define STATUS_CONNECTION_REFUSED        ((NTSTATUS)0xC0000236L)
#define STATUS_GRACEFUL_DISCONNECT       ((NTSTATUS)0xC0000237L)
#define STATUS_ADDRESS_ALREADY_ASSOCIATED ((NTSTATUS)0xC0000238L)
#define STATUS_ADDRESS_NOT_ASSOCIATED    ((NTSTATUS)0xC0000239L)
#define STATUS_CONNECTION_INVALID        ((NTSTATUS)0xC000023AL)
#define STATUS_CONNECTION_ACTIVE         ((NTSTATUS)0xC000023BL)
#define STATUS_NETWORK_UNREACHABLE       ((NTSTATUS)0xC000023CL)
#define STATUS_HOST_UNREACHABLE          ((NTSTATUS)0xC000023DL)
#define STATUS_PROTOCOL_UNREACHABLE      ((NTSTATUS)0xC000023EL)
#define STATUS_PORT_UNREACHABLE          ((NTSTATUS)0xC000023FL)
#define STATUS_REQUEST_ABORTED           ((NTSTATUS)0xC0000240L)
#define STATUS_CONNECTION_ABORTED        ((NTSTATUS)0xC0000241L)
#define STATUS_RETRY                     ((NTSTATUS)0xC000022DL)
#define STATUS_NOT_FOUND                 ((NTSTATUS)0xC0000225L)
#define STATUS_REVISION_MISMATCH         ((NTSTATUS)0xC0000059L)
#define STATUS_ADAPTER_HARDWARE_ERROR    ((NTSTATUS)0xC00000C2L)
#define STATUS_INVALID_USER_BUFFER       ((NTSTATUS)0xC00000E8L)
#define STATUS_NOINTERFACE               ((NTSTATUS)0xC00002B9L)
#define STATUS_DEVICE_REMOVED            ((NTSTATUS)0xC00002B6L)
#define STATUS_INTEGER_OVERFLOW          ((NTSTATUS)0xC0000095L)
#define STATUS_SEMAPHORE_LIMIT_EXCEEDED  ((NTSTATUS)0xC0000047L)
#define STATUS_MUTANT_NOT_OWNED          ((NTSTATUS)0xC0000046L)
#define STATUS_THREAD_IS_TERMINATING     ((NTSTATUS)0xC000004BL)
#define STATUS_LOCK_NOT_GRANTED          ((NTSTATUS)0xC0000055L)
#define STATUS_ILLEGAL_FUNCTION          ((NTSTATUS)0xC00000AFL)
#define STATUS_INVALID_BLOCK_LENGTH      ((NTSTATUS)0xC0000173L)
#define STATUS_TOO_MANY_ADDRESSES        ((NTSTATUS)0xC0000209L)
#define STATUS_BAD_DATA                  ((NTSTATUS)0xC000090BL)
#define STATUS_DATA_ERROR                ((NTSTATUS)0xC000003EL)
#define STATUS_UNRECOGNIZED_MEDIA        ((NTSTATUS)0xC0000014L)
#define STATUS_FILE_CORRUPT_ERROR        ((NTSTATUS)0xC0000102L)
#define STATUS_INVALID_IMAGE_FORMAT      ((NTSTATUS)0xC000007BL)
#define STATUS_NO_DATA_DETECTED          ((NTSTATUS)0x80000022L)
#define STATUS_KEY_DELETED               ((NTSTATUS)0xC000017CL)
#define STATUS_CANNOT_DELETE             ((NTSTATUS)0xC0000121L)
#define STATUS_INVALID_ADDRESS_COMPONENT ((NTSTATUS)0xC0000207L)
#define STATUS_NETWORK_NAME_DELETED      ((NTSTATUS)0xC00000C9L)
#define STATUS_LINK_TIMEOUT              ((NTSTATUS)0xC000013FL)
#define STATUS_REMOTE_DISCONNECT         ((NTSTATUS)0xC000013CL)
#define STATUS_LOCAL_DISCONNECT          ((NTSTATUS)0xC000013BL)

// ---------------------------------------------------------------------------------------------
// Counted strings and lists

typedef struct _UNICODE_STRING {
    USHORT Length;         // bytes, without terminator
    USHORT MaximumLength;  // bytes
    PWSTR Buffer;
} UNICODE_STRING, *PUNICODE_STRING;
typedef const UNICODE_STRING* PCUNICODE_STRING;

typedef struct _STRING {
    USHORT Length;
    USHORT MaximumLength;
    PCHAR Buffer;
} STRING, *PSTRING, ANSI_STRING, *PANSI_STRING, OEM_STRING, *POEM_STRING;
typedef const STRING* PCANSI_STRING;
typedef const STRING* PCSZ_STRING;

typedef struct _LIST_ENTRY {
    struct _LIST_ENTRY* Flink;
    struct _LIST_ENTRY* Blink;
} LIST_ENTRY, *PLIST_ENTRY, *PRLIST_ENTRY;

typedef struct _SINGLE_LIST_ENTRY {
    struct _SINGLE_LIST_ENTRY* Next;
} SINGLE_LIST_ENTRY, *PSINGLE_LIST_ENTRY;

typedef struct DECLSPEC_ALIGN(16) _SLIST_ENTRY {
    struct _SLIST_ENTRY* Next;
} SLIST_ENTRY, *PSLIST_ENTRY;

typedef union DECLSPEC_ALIGN(16) _SLIST_HEADER {
    struct {
        ULONGLONG Alignment;
        ULONGLONG Region;
    };
    struct {
        PSLIST_ENTRY Next;      // host layout: first entry
        ULONGLONG Depth;        // host layout: number of entries
    } HkList;
} SLIST_HEADER, *PSLIST_HEADER;

// ---------------------------------------------------------------------------------------------
// I/O status and objects

typedef struct _IO_STATUS_BLOCK {
    union {
        NTSTATUS Status;
        PVOID Pointer;
    };
    ULONG_PTR Information;
} IO_STATUS_BLOCK, *PIO_STATUS_BLOCK;

typedef VOID (NTAPI *PIO_APC_ROUTINE)(PVOID ApcContext, PIO_STATUS_BLOCK IoStatusBlock, ULONG Reserved);

#define OBJ_INHERIT             0x00000002L
#define OBJ_PERMANENT           0x00000010L
#define OBJ_EXCLUSIVE           0x00000020L
#define OBJ_CASE_INSENSITIVE    0x00000040L
#define OBJ_OPENIF              0x00000080L
#define OBJ_OPENLINK            0x00000100L
#define OBJ_KERNEL_HANDLE       0x00000200L
#define OBJ_FORCE_ACCESS_CHECK  0x00000400L
#define OBJ_VALID_ATTRIBUTES    0x000007F2L

typedef struct _OBJECT_ATTRIBUTES {
    ULONG Length;
    HANDLE RootDirectory;
    PUNICODE_STRING ObjectName;
    ULONG Attributes;
    PVOID SecurityDescriptor;
    PVOID SecurityQualityOfService;
} OBJECT_ATTRIBUTES, *POBJECT_ATTRIBUTES;
typedef const OBJECT_ATTRIBUTES* PCOBJECT_ATTRIBUTES;

#define InitializeObjectAttributes(p, n, a, r, s) \
    do {                                          \
        (p)->Length = sizeof(OBJECT_ATTRIBUTES);  \
        (p)->RootDirectory = (r);                 \
        (p)->Attributes = (a);                    \
        (p)->ObjectName = (n);                    \
        (p)->SecurityDescriptor = (s);            \
        (p)->SecurityQualityOfService = NULL;     \
    } while (0)

typedef struct _CLIENT_ID {
    HANDLE UniqueProcess;
    HANDLE UniqueThread;
} CLIENT_ID, *PCLIENT_ID;

// Objects the I/O manager part of the host kernel defines; declared here so that services such
// as work items can name them.
typedef struct _DEVICE_OBJECT DEVICE_OBJECT, *PDEVICE_OBJECT;
typedef struct _DRIVER_OBJECT DRIVER_OBJECT, *PDRIVER_OBJECT;
typedef struct _IRP IRP, *PIRP;
typedef struct _MDL MDL, *PMDL;
typedef struct _FILE_OBJECT FILE_OBJECT, *PFILE_OBJECT;
typedef struct _KTHREAD KTHREAD, *PKTHREAD, *PRKTHREAD;
typedef struct _KTHREAD ETHREAD, *PETHREAD;
typedef struct _EPROCESS EPROCESS, *PEPROCESS, KPROCESS, *PKPROCESS, *PRKPROCESS;
typedef struct _OBJECT_TYPE OBJECT_TYPE, *POBJECT_TYPE;

// Access rights
#define DELETE                   0x00010000L
#define READ_CONTROL             0x00020000L
#define WRITE_DAC                0x00040000L
#define WRITE_OWNER              0x00080000L
#define SYNCHRONIZE              0x00100000L
#define STANDARD_RIGHTS_REQUIRED 0x000F0000L
#define STANDARD_RIGHTS_READ     READ_CONTROL
#define STANDARD_RIGHTS_WRITE    READ_CONTROL
#define STANDARD_RIGHTS_EXECUTE  READ_CONTROL
#define STANDARD_RIGHTS_ALL      0x001F0000L
#define SPECIFIC_RIGHTS_ALL      0x0000FFFFL
#define MAXIMUM_ALLOWED          0x02000000L
#define GENERIC_READ             0x80000000L
#define GENERIC_WRITE            0x40000000L
#define GENERIC_EXECUTE          0x20000000L
#define GENERIC_ALL              0x10000000L
#define THREAD_ALL_ACCESS        (STANDARD_RIGHTS_REQUIRED | SYNCHRONIZE | 0xFFFF)

typedef enum _MODE { KernelMode, UserMode, MaximumMode } MODE;

// Interrupt request levels (x64)
#define PASSIVE_LEVEL  0
#define LOW_LEVEL      0
#define APC_LEVEL      1
#define DISPATCH_LEVEL 2
#define CMCI_LEVEL     5
#define PROFILE_LEVEL  27
#define CLOCK_LEVEL    13
#define IPI_LEVEL      14
#define POWER_LEVEL    14
#define HIGH_LEVEL     15

// Debug breaks and asserts: the host treats a failed assertion as fatal, as a checked build
// with a debugger attached would stop there.
HK_BEGIN_DECLS
__attribute__((noreturn)) VOID NTAPI HkAssertFailed(PCSTR Expression, PCSTR File, ULONG Line);
__attribute__((noreturn)) VOID NTAPI KeBugCheckEx(ULONG BugCheckCode, ULONG_PTR P1, ULONG_PTR P2,
                                                  ULONG_PTR P3, ULONG_PTR P4);
__attribute__((noreturn)) VOID NTAPI KeBugCheck(ULONG BugCheckCode);
VOID NTAPI DbgBreakPoint(VOID);
HK_END_DECLS

#define ASSERT(exp) ((!(exp)) ? HkAssertFailed(#exp, __FILE__, __LINE__) : (void)0)
#define ASSERTMSG(msg, exp) ((!(exp)) ? HkAssertFailed(msg, __FILE__, __LINE__) : (void)0)
#define NT_ASSERT(exp) ASSERT(exp)
#define NT_VERIFY(exp) ((exp) ? TRUE : (HkAssertFailed(#exp, __FILE__, __LINE__), FALSE))
