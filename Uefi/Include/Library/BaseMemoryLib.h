/** @file
  BaseMemoryLib: copying, filling and comparing memory and GUIDs.
**/

#ifndef __BASE_MEMORY_LIB__
#define __BASE_MEMORY_LIB__

#include <Base.h>

#ifdef __cplusplus
extern "C" {
#endif

/**
  Copies Length bytes from SourceBuffer to DestinationBuffer; the two may overlap.

  @return DestinationBuffer.
**/
VOID * EFIAPI CopyMem (OUT VOID *DestinationBuffer, IN CONST VOID *SourceBuffer, IN UINTN Length);

/**
  Fills Length bytes of Buffer with Value.

  @return Buffer.
**/
VOID * EFIAPI SetMem (OUT VOID *Buffer, IN UINTN Length, IN UINT8 Value);

/**
  Fills Length bytes of Buffer with zeros.

  @return Buffer.
**/
VOID * EFIAPI ZeroMem (OUT VOID *Buffer, IN UINTN Length);

/**
  Compares Length bytes of two buffers.

  @return 0 when equal; otherwise the difference of the first differing bytes
          (DestinationBuffer's minus SourceBuffer's).
**/
INTN EFIAPI CompareMem (IN CONST VOID *DestinationBuffer, IN CONST VOID *SourceBuffer, IN UINTN Length);

/**
  Tells whether two GUIDs are equal.
**/
BOOLEAN EFIAPI CompareGuid (IN CONST GUID *Guid1, IN CONST GUID *Guid2);

/**
  Copies a GUID.

  @return DestinationGuid.
**/
GUID * EFIAPI CopyGuid (OUT GUID *DestinationGuid, IN CONST GUID *SourceGuid);

#ifdef __cplusplus
}
#endif

#endif
