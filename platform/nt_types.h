// Basic types, status codes and helpers of the kernel platform, as the driver sees them.
// Written for the x86-64 (LLP64) layout: LONG and ULONG are 32 bits, pointers 64.
#pragma once

#include <cstddef>
#include <cstdint>

typedef void VOID;
typedef void* PVOID;
typedef char CHAR;
typedef signed char CCHAR;
typedef unsigned char UCHAR;
typedef UCHAR* PUCHAR;
typedef int16_t SHORT;
typedef int16_t CSHORT;
typedef uint16_t USHORT;
typedef USHORT* PUSHORT;
typedef int32_t LONG;
typedef LONG* PLONG;
typedef uint32_t ULONG;
typedef ULONG* PULONG;
typedef int64_t LONGLONG;
typedef uint64_t ULONGLONG;
typedef uint32_t DWORD;
typedef uint16_t WORD;
typedef uint8_t BYTE;
typedef int32_t BOOL;
typedef uint8_t BOOLEAN;
typedef BOOLEAN* PBOOLEAN;
typedef uintptr_t ULONG_PTR;
typedef intptr_t LONG_PTR;
typedef ULONG_PTR SIZE_T;
typedef ULONG_PTR* PULONG_PTR;
typedef char16_t WCHAR;
typedef WCHAR* PWCHAR;
typedef WCHAR* PWSTR;
typedef const WCHAR* PCWSTR;
typedef const char* PCSTR;
typedef PVOID HANDLE;
typedef HANDLE* PHANDLE;
typedef LONG NTSTATUS;
typedef LONG KPRIORITY;
typedef UCHAR KIRQL;
typedef KIRQL* PKIRQL;
typedef LONGLONG REFERENCE_TIME;

#define TRUE 1
#define FALSE 0

typedef union _LARGE_INTEGER {
    struct {
        ULONG LowPart;
        LONG HighPart;
    } u;
    LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;
static_assert(sizeof(LARGE_INTEGER) == 8);

typedef struct _GUID {
    ULONG Data1;
    USHORT Data2;
    USHORT Data3;
    UCHAR Data4[8];
} GUID;
static_assert(sizeof(GUID) == 16);
typedef const GUID* LPCGUID;

inline bool IsEqualGUID(const GUID& a, const GUID& b)
{
    return __builtin_memcmp(&a, &b, sizeof(GUID)) == 0;
}

typedef struct _LIST_ENTRY {
    struct _LIST_ENTRY* Flink;
    struct _LIST_ENTRY* Blink;
} LIST_ENTRY, *PLIST_ENTRY;

typedef struct _UNICODE_STRING {
    USHORT Length;         // bytes, without a terminator
    USHORT MaximumLength;  // bytes
    PWSTR Buffer;
} UNICODE_STRING, *PUNICODE_STRING;

typedef struct _RECT {
    LONG left;
    LONG top;
    LONG right;
    LONG bottom;
} RECT;

typedef struct _SIZE {
    LONG cx;
    LONG cy;
} SIZE;

#define CONTAINING_RECORD(address, type, field) \
    (reinterpret_cast<type*>(reinterpret_cast<PCHAR_>(address) - offsetof(type, field)))
typedef char* PCHAR_;

#define NT_SUCCESS(Status) (static_cast<NTSTATUS>(Status) >= 0)

// Status codes (the platform's values).
#define STATUS_SUCCESS ((NTSTATUS)0x00000000L)
#define STATUS_WAIT_0 ((NTSTATUS)0x00000000L)
#define STATUS_TIMEOUT ((NTSTATUS)0x00000102L)
#define STATUS_PENDING ((NTSTATUS)0x00000103L)
#define STATUS_MORE_PROCESSING_REQUIRED ((NTSTATUS)0xC0000016L)
#define STATUS_DEVICE_BUSY ((NTSTATUS)0x80000011L)
#define STATUS_NO_MORE_ENTRIES ((NTSTATUS)0x8000001AL)
#define STATUS_UNSUCCESSFUL ((NTSTATUS)0xC0000001L)
#define STATUS_NOT_IMPLEMENTED ((NTSTATUS)0xC0000002L)
#define STATUS_INVALID_PARAMETER ((NTSTATUS)0xC000000DL)
#define STATUS_NO_MEMORY ((NTSTATUS)0xC0000017L)
#define STATUS_BUFFER_TOO_SMALL ((NTSTATUS)0xC0000023L)
#define STATUS_OBJECT_TYPE_MISMATCH ((NTSTATUS)0xC0000024L)
#define STATUS_OBJECT_NAME_NOT_FOUND ((NTSTATUS)0xC0000034L)
#define STATUS_SEMAPHORE_LIMIT_EXCEEDED ((NTSTATUS)0xC0000047L)
#define STATUS_INSUFFICIENT_RESOURCES ((NTSTATUS)0xC000009AL)
#define STATUS_IO_TIMEOUT ((NTSTATUS)0xC00000B5L)
#define STATUS_NOT_SUPPORTED ((NTSTATUS)0xC00000BBL)
#define STATUS_IO_DEVICE_ERROR ((NTSTATUS)0xC0000185L)
#define STATUS_CANCELLED ((NTSTATUS)0xC0000120L)
#define STATUS_FILE_CLOSED ((NTSTATUS)0xC0000128L)
#define STATUS_NO_MATCH ((NTSTATUS)0xC0000272L)
#define STATUS_NO_DATA_DETECTED ((NTSTATUS)0x80000022L)
#define STATUS_TOO_MANY_NODES ((NTSTATUS)0xC000020EL)
#define STATUS_DEVICE_NOT_CONNECTED ((NTSTATUS)0xC000009DL)
#define STATUS_INVALID_DEVICE_REQUEST ((NTSTATUS)0xC0000010L)
#define STATUS_INVALID_DEVICE_STATE ((NTSTATUS)0xC0000184L)
#define STATUS_NOT_FOUND ((NTSTATUS)0xC0000225L)
#define STATUS_BUFFER_OVERFLOW ((NTSTATUS)0x80000005L)

// Source-code annotations: documentation for the reader, no effect on the build.
#define _IRQL_requires_(irql)
#define _IRQL_requires_max_(irql)
#define _IRQL_requires_min_(irql)
#define _IRQL_raises_(irql)
#define _IRQL_saves_
#define _IRQL_restores_
#define _Requires_lock_held_(lock)
#define _Acquires_lock_(lock)
#define _Releases_lock_(lock)
#define _In_
#define _In_opt_
#define _Out_
#define _Out_opt_
#define _Inout_
#define _Inout_opt_
#define _In_reads_bytes_(n)
#define _Out_writes_bytes_(n)
#define _Must_inspect_result_
#define _Function_class_(name)
#define _Use_decl_annotations_

// The routines the host checks take the caller's source position as a hidden last argument,
// so that a verifier failure or a pool leak names the line that made the call. (The compiler
// builtins, not std::source_location, so that both g++ and clang++ build it.)
struct NtCallSite {
    const char* file;
    unsigned line;
    const char* function;
    static constexpr NtCallSite Current(const char* file = __builtin_FILE(), unsigned line = __builtin_LINE(),
                                        const char* function = __builtin_FUNCTION())
    {
        return {file, line, function};
    }
};
#define NT_CALLSITE NtCallSite callSite = NtCallSite::Current()
