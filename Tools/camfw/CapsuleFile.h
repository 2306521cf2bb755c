// Capsule files as the operating system hands them to the firmware: one
// EFI_CAPSULE_HEADER (28 bytes here) followed by the camera image. The
// camera's capsules carry its ESRT firmware class as their GUID and must
// persist across the reset, or the driver passes them over.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include <Uefi.h>

#include "Tools/camfw/FileBytes.h"

namespace Camfw {

// {A6A82337-904E-4742-9ECA-CF8E7DE4DE17}: the firmware class of camera
// 30C9:004A, and the GUID of its capsules.
extern const EFI_GUID kCameraFirmwareClass;

// The capsule around Image: HeaderSize 28, CapsuleImageSize 28 + the image.
// Throws Error when the image is empty or too large for a capsule.
Bytes BuildCapsule(const Bytes &Image, const EFI_GUID &Guid = kCameraFirmwareClass,
                   uint32_t Flags = CAPSULE_FLAGS_PERSIST_ACROSS_RESET);

struct CapsuleView {
  EFI_CAPSULE_HEADER Header;
  Bytes Payload;  // the bytes after HeaderSize
};

// The file as one whole capsule: a header, HeaderSize between 28 and
// CapsuleImageSize, CapsuleImageSize equal to the file's size. Anything
// else is not a capsule (std::nullopt).
std::optional<CapsuleView> ParseCapsule(const Bytes &File);

// "A6A82337-904E-4742-9ECA-CF8E7DE4DE17" to a GUID; throws Error otherwise.
EFI_GUID ParseGuid(const std::string &Text);

// What a capsule GUID means to the driver, in words.
std::string DescribeCapsuleGuid(const EFI_GUID &Guid);
// The capsule flags, named: "0x10000 (PERSIST_ACROSS_RESET)".
std::string DescribeCapsuleFlags(uint32_t Flags);

}  // namespace Camfw
