/** @file
  MemoryAllocationLib: boot-services pool (EfiBootServicesData).
**/

#ifndef __MEMORY_ALLOCATION_LIB_H__
#define __MEMORY_ALLOCATION_LIB_H__

#include <Uefi.h>

#ifdef __cplusplus
extern "C" {
#endif

/**
  Allocates AllocationSize bytes of EfiBootServicesData pool.

  @return The buffer, or NULL when the pool is exhausted.
**/
VOID * EFIAPI AllocatePool (IN UINTN AllocationSize);

/**
  Allocates AllocationSize bytes of EfiBootServicesData pool, filled with zeros.

  @return The buffer, or NULL when the pool is exhausted.
**/
VOID * EFIAPI AllocateZeroPool (IN UINTN AllocationSize);

/**
  Allocates AllocationSize bytes of EfiBootServicesData pool holding a copy of Buffer.

  @return The buffer, or NULL when the pool is exhausted.
**/
VOID * EFIAPI AllocateCopyPool (IN UINTN AllocationSize, IN CONST VOID *Buffer);

/**
  Returns a buffer from one of the allocation functions above to the pool.
**/
VOID EFIAPI FreePool (IN VOID *Buffer);

#ifdef __cplusplus
}
#endif

#endif
