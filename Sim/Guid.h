// EFI_GUID helpers for the simulator: comparison, text, and readable names
// for the GUIDs that appear in the simulator's logs.
#pragma once

#include <string>

#include <Uefi.h>

namespace Sim {

bool operator==(const EFI_GUID &A, const EFI_GUID &B);
inline bool operator!=(const EFI_GUID &A, const EFI_GUID &B) { return !(A == B); }
bool GuidLess(const EFI_GUID &A, const EFI_GUID &B);

// "A6A82337-904E-4742-9ECA-CF8E7DE4DE17"
std::string GuidToString(const EFI_GUID &Guid);

// A registered short name ("UsbIo", "EsrtManagement", ...) or the GUID's text.
std::string GuidName(const EFI_GUID &Guid);
void RegisterGuidName(const EFI_GUID &Guid, const std::string &Name);

struct GuidLessFn {
  bool operator()(const EFI_GUID &A, const EFI_GUID &B) const { return GuidLess(A, B); }
};

}  // namespace Sim
