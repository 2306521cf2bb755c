/** @file
  Root include file for every module: the processor-bound base types, the
  modifiers, the RETURN_STATUS codes and the small helper macros of an
  EDK II tree.

  Everything here is built from compiler builtins only, so the same header
  serves the hosted build (tests against the simulated platform) and the
  freestanding firmware build, which has no C or C++ standard headers at all.
**/

#ifndef __BASE_H__
#define __BASE_H__

#if !defined (__x86_64__)
  #error "This tree supports x86-64 only."
#endif

//
// Processor-bound types (EDK II ProcessorBind.h for X64). The widths are fixed
// with long long so that the LP64 host and the LLP64 firmware target agree.
//
typedef unsigned long long  UINT64;
typedef long long           INT64;
typedef unsigned int        UINT32;
typedef int                 INT32;
typedef unsigned short      UINT16;
typedef short               INT16;
typedef unsigned char       BOOLEAN;
typedef unsigned char       UINT8;
typedef signed char         INT8;
typedef char                CHAR8;
typedef UINT64              UINTN;
typedef INT64               INTN;
typedef void                VOID;

///
/// A UCS-2 code unit. It is the 16-bit char16_t on every build (never the
/// host's 32-bit wchar_t); string literals are written u"Text".
///
typedef char16_t            CHAR16;

#define MAX_BIT      0x8000000000000000ULL
#define MAX_2_BITS   0xC000000000000000ULL
#define MAX_ADDRESS  0xFFFFFFFFFFFFFFFFULL
#define MAX_INTN     ((INTN)0x7FFFFFFFFFFFFFFFULL)
#define MAX_UINTN    ((UINTN)0xFFFFFFFFFFFFFFFFULL)

#define MAX_INT8    ((INT8)0x7F)
#define MAX_UINT8   ((UINT8)0xFF)
#define MAX_INT16   ((INT16)0x7FFF)
#define MAX_UINT16  ((UINT16)0xFFFF)
#define MAX_INT32   ((INT32)0x7FFFFFFF)
#define MAX_UINT32  ((UINT32)0xFFFFFFFF)
#define MAX_INT64   ((INT64)0x7FFFFFFFFFFFFFFFULL)
#define MAX_UINT64  ((UINT64)0xFFFFFFFFFFFFFFFFULL)

//
// Calling convention of every UEFI interface: the Microsoft x64 ABI. The host
// build uses the same convention, so the simulated tables are real UEFI tables.
//
#define EFIAPI  __attribute__((ms_abi))

//
// Parameter and storage modifiers.
//
#define IN
#define OUT
#define OPTIONAL
#define CONST   const
#define STATIC  static
#define GLOBAL_REMOVE_IF_UNREFERENCED

#define TRUE   ((BOOLEAN)(1 == 1))
#define FALSE  ((BOOLEAN)(0 == 1))
#ifdef NULL
  #undef NULL
#endif
#define NULL   nullptr

//
// Compile-time checks and layout helpers.
//
#define STATIC_ASSERT              static_assert
#define OFFSET_OF(TYPE, Field)     ((UINTN) __builtin_offsetof (TYPE, Field))
#define ARRAY_SIZE(Array)          (sizeof (Array) / sizeof ((Array)[0]))
#define BASE_CR(Record, TYPE, Field) \
  ((TYPE *)((CHAR8 *)(Record) - OFFSET_OF (TYPE, Field)))

#define ALIGN_VALUE(Value, Alignment)  ((Value) + (((Alignment) - (Value)) & ((Alignment) - 1)))
#define MIN(a, b)                      (((a) < (b)) ? (a) : (b))
#define MAX(a, b)                      (((a) > (b)) ? (a) : (b))

#define SIGNATURE_16(A, B)        ((A) | ((B) << 8))
#define SIGNATURE_32(A, B, C, D)  (SIGNATURE_16 (A, B) | (SIGNATURE_16 (C, D) << 16))
#define SIGNATURE_64(A, B, C, D, E, F, G, H) \
  (SIGNATURE_32 (A, B, C, D) | ((UINT64)(SIGNATURE_32 (E, F, G, H)) << 32))

#define BIT0   0x00000001
#define BIT1   0x00000002
#define BIT2   0x00000004
#define BIT3   0x00000008
#define BIT4   0x00000010
#define BIT5   0x00000020
#define BIT6   0x00000040
#define BIT7   0x00000080
#define BIT8   0x00000100
#define BIT16  0x00010000
#define BIT22  0x00400000
#define BIT23  0x00800000
#define BIT24  0x01000000
#define BIT31  0x80000000

#define SIZE_1KB   0x00000400
#define SIZE_4KB   0x00001000
#define SIZE_64KB  0x00010000

//
// Variable argument lists in the Microsoft x64 convention, as UEFI's
// varargs services (InstallMultipleProtocolInterfaces, ...) pass them.
//
typedef __builtin_ms_va_list  VA_LIST;
#define VA_START(Marker, Parameter)  __builtin_ms_va_start (Marker, Parameter)
#define VA_ARG(Marker, TYPE)         ((TYPE)(__builtin_va_arg (Marker, TYPE)))
#define VA_END(Marker)               __builtin_ms_va_end (Marker)

///
/// 128-bit buffer holding a globally unique identifier.
///
typedef struct {
  UINT32    Data1;
  UINT16    Data2;
  UINT16    Data3;
  UINT8     Data4[8];
} GUID;

STATIC_ASSERT (sizeof (GUID) == 16, "GUID is 16 bytes");
STATIC_ASSERT (sizeof (CHAR16) == 2, "CHAR16 is a 16-bit code unit on every build");
STATIC_ASSERT (sizeof (UINTN) == 8, "x64 UINTN is 64 bits");
STATIC_ASSERT (sizeof (UINT64) == 8 && sizeof (UINT32) == 4 && sizeof (UINT16) == 2, "fixed widths");
STATIC_ASSERT (sizeof (VOID *) == 8, "x64 pointers are 64 bits");

typedef UINT64  PHYSICAL_ADDRESS;

//
// Status codes shared by the base libraries (RETURN_*) and UEFI (EFI_*).
//
typedef UINTN RETURN_STATUS;

#define ENCODE_ERROR(StatusCode)    ((RETURN_STATUS)(MAX_BIT | (StatusCode)))
#define ENCODE_WARNING(StatusCode)  ((RETURN_STATUS)(StatusCode))
#define RETURN_ERROR(StatusCode)    (((INTN)(RETURN_STATUS)(StatusCode)) < 0)

#define RETURN_SUCCESS               0
#define RETURN_LOAD_ERROR            ENCODE_ERROR (1)
#define RETURN_INVALID_PARAMETER     ENCODE_ERROR (2)
#define RETURN_UNSUPPORTED           ENCODE_ERROR (3)
#define RETURN_BAD_BUFFER_SIZE       ENCODE_ERROR (4)
#define RETURN_BUFFER_TOO_SMALL      ENCODE_ERROR (5)
#define RETURN_NOT_READY             ENCODE_ERROR (6)
#define RETURN_DEVICE_ERROR          ENCODE_ERROR (7)
#define RETURN_WRITE_PROTECTED       ENCODE_ERROR (8)
#define RETURN_OUT_OF_RESOURCES      ENCODE_ERROR (9)
#define RETURN_VOLUME_CORRUPTED      ENCODE_ERROR (10)
#define RETURN_VOLUME_FULL           ENCODE_ERROR (11)
#define RETURN_NO_MEDIA              ENCODE_ERROR (12)
#define RETURN_MEDIA_CHANGED         ENCODE_ERROR (13)
#define RETURN_NOT_FOUND             ENCODE_ERROR (14)
#define RETURN_ACCESS_DENIED         ENCODE_ERROR (15)
#define RETURN_NO_RESPONSE           ENCODE_ERROR (16)
#define RETURN_NO_MAPPING            ENCODE_ERROR (17)
#define RETURN_TIMEOUT               ENCODE_ERROR (18)
#define RETURN_NOT_STARTED           ENCODE_ERROR (19)
#define RETURN_ALREADY_STARTED       ENCODE_ERROR (20)
#define RETURN_ABORTED               ENCODE_ERROR (21)
#define RETURN_ICMP_ERROR            ENCODE_ERROR (22)
#define RETURN_TFTP_ERROR            ENCODE_ERROR (23)
#define RETURN_PROTOCOL_ERROR        ENCODE_ERROR (24)
#define RETURN_INCOMPATIBLE_VERSION  ENCODE_ERROR (25)
#define RETURN_SECURITY_VIOLATION    ENCODE_ERROR (26)
#define RETURN_CRC_ERROR             ENCODE_ERROR (27)
#define RETURN_END_OF_MEDIA          ENCODE_ERROR (28)
#define RETURN_END_OF_FILE           ENCODE_ERROR (31)
#define RETURN_INVALID_LANGUAGE      ENCODE_ERROR (32)
#define RETURN_COMPROMISED_DATA      ENCODE_ERROR (33)
#define RETURN_IP_ADDRESS_CONFLICT   ENCODE_ERROR (34)
#define RETURN_HTTP_ERROR            ENCODE_ERROR (35)

#define RETURN_WARN_UNKNOWN_GLYPH     ENCODE_WARNING (1)
#define RETURN_WARN_DELETE_FAILURE    ENCODE_WARNING (2)
#define RETURN_WARN_WRITE_FAILURE     ENCODE_WARNING (3)
#define RETURN_WARN_BUFFER_TOO_SMALL  ENCODE_WARNING (4)
#define RETURN_WARN_STALE_DATA        ENCODE_WARNING (5)
#define RETURN_WARN_FILE_SYSTEM       ENCODE_WARNING (6)
#define RETURN_WARN_RESET_REQUIRED    ENCODE_WARNING (7)

#endif
