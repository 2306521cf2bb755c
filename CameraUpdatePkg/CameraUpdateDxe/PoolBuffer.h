/** @file
  POOL_BUFFER: a boot-services pool buffer that frees itself when its owner
  goes out of scope, so that every return path of a function releases what
  the function allocated. A C++ helper of this tree over MemoryAllocationLib;
  it allocates nothing by itself and never throws.
**/

#ifndef __POOL_BUFFER_H__
#define __POOL_BUFFER_H__

#include "FirmwareInterfaces.h"

template <typename T>
class POOL_BUFFER {
public:
  POOL_BUFFER () = default;

  POOL_BUFFER (const POOL_BUFFER &)            = delete;
  POOL_BUFFER &operator= (const POOL_BUFFER &) = delete;

  ~POOL_BUFFER ()
  {
    Free ();
  }

  /**
    Allocates room for Count elements of EfiBootServicesData pool, releasing
    what the buffer held before.

    @param[in] Count  Number of elements.

    @retval TRUE   The buffer holds Count elements (uninitialised).
    @retval FALSE  The pool is exhausted or Count * sizeof (T) overflows; the
                   buffer is empty.
  **/
  BOOLEAN
  Allocate (
    IN UINTN  Count
    )
  {
    Free ();
    if (Count > MAX_UINTN / sizeof (T)) {
      return FALSE;
    }

    mBuffer = static_cast<T *>(AllocatePool (Count * sizeof (T)));
    mCount  = (mBuffer != NULL) ? Count : 0;
    return (BOOLEAN)(mBuffer != NULL);
  }

  /**
    As Allocate, with every byte of the buffer zero.
  **/
  BOOLEAN
  AllocateZero (
    IN UINTN  Count
    )
  {
    Free ();
    if (Count > MAX_UINTN / sizeof (T)) {
      return FALSE;
    }

    mBuffer = static_cast<T *>(AllocateZeroPool (Count * sizeof (T)));
    mCount  = (mBuffer != NULL) ? Count : 0;
    return (BOOLEAN)(mBuffer != NULL);
  }

  /**
    Takes ownership of a pool buffer that a service or library allocated
    (ConvertDevicePathToText, LocateHandleBuffer, ...).

    @param[in] Buffer  The buffer, or NULL.
    @param[in] Count   Its number of elements, when known.
  **/
  VOID
  Adopt (
    IN T      *Buffer,
    IN UINTN  Count = 0
    )
  {
    Free ();
    mBuffer = Buffer;
    mCount  = (Buffer != NULL) ? Count : 0;
  }

  /**
    Returns the buffer to the pool; the buffer is empty afterwards.
  **/
  VOID
  Free (
    VOID
    )
  {
    if (mBuffer != NULL) {
      FreePool (mBuffer);
    }

    mBuffer = NULL;
    mCount  = 0;
  }

  T *
  Get (
    VOID
    ) const
  {
    return mBuffer;
  }

  UINTN
  Count (
    VOID
    ) const
  {
    return mCount;
  }

  BOOLEAN
  IsNull (
    VOID
    ) const
  {
    return (BOOLEAN)(mBuffer == NULL);
  }

  T &
  operator[] (
    IN UINTN  Index
    ) const
  {
    return mBuffer[Index];
  }

private:
  T      *mBuffer = NULL;
  UINTN  mCount   = 0;
};

#endif
