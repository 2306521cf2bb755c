/** @file
  MemoryAllocationLib on top of the boot services: every buffer is
  EfiBootServicesData pool.
**/

#include <Uefi.h>
#include <Library/BaseMemoryLib.h>
#include <Library/MemoryAllocationLib.h>
#include <Library/UefiBootServicesTableLib.h>

/** Allocates AllocationSize bytes of EfiBootServicesData pool. **/
VOID *
EFIAPI
AllocatePool (
  IN UINTN  AllocationSize
  )
{
  VOID        *Buffer;
  EFI_STATUS  Status;

  Buffer = NULL;
  Status = gBS->AllocatePool (EfiBootServicesData, AllocationSize, &Buffer);
  if (EFI_ERROR (Status)) {
    return NULL;
  }

  return Buffer;
}

/** Allocates AllocationSize bytes of pool filled with zeros. **/
VOID *
EFIAPI
AllocateZeroPool (
  IN UINTN  AllocationSize
  )
{
  VOID  *Buffer;

  Buffer = AllocatePool (AllocationSize);
  if (Buffer != NULL) {
    ZeroMem (Buffer, AllocationSize);
  }

  return Buffer;
}

/** Allocates AllocationSize bytes of pool holding a copy of Buffer. **/
VOID *
EFIAPI
AllocateCopyPool (
  IN UINTN       AllocationSize,
  IN CONST VOID  *Buffer
  )
{
  VOID  *Copy;

  if ((Buffer == NULL) && (AllocationSize != 0)) {
    return NULL;
  }

  Copy = AllocatePool (AllocationSize);
  if (Copy != NULL) {
    CopyMem (Copy, Buffer, AllocationSize);
  }

  return Copy;
}

/** Returns a buffer to the pool; NULL is ignored. **/
VOID
EFIAPI
FreePool (
  IN VOID  *Buffer
  )
{
  //
  // Tolerating NULL lets cleanup paths free buffers that were never
  // allocated without testing each one first.
  //
  if (Buffer == NULL) {
    return;
  }

  gBS->FreePool (Buffer);
}
