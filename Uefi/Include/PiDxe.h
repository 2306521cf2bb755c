/** @file
  Root include file of DXE modules: UEFI plus the PI definitions (boot modes,
  hand-off blocks) that a DXE driver reads.
**/

#ifndef __PI_DXE_H__
#define __PI_DXE_H__

#include <Uefi.h>
#include <Pi/PiBootMode.h>
#include <Pi/PiHob.h>

#endif
