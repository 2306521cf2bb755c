// One flash-update boot whose HOB list and capsules come from the input.
// Input:
//   U8    Platform  bit 0: platform hook, bit 1: progress display,
//                   bit 2: no "Setup", bit 3: "Setup" of Size x 16 bytes,
//                   bit 4: a boot mode other than BOOT_ON_FLASH_UPDATE,
//                   bits 5-6: EC fault (none, input never drains, output
//                   never fills, absent), bit 7: a camera on the bus
//   U8    Size      "Setup" size / 16 (bit 3), or the boot mode (bit 4)
//   U8    Camera    the camera's generation, "fghijklmnpq"[Camera % 11]
//   then HOB records until the input ends, each U8 Op and (Op % 3):
//   0 a UEFI-capsule HOB and its capsule:
//       U8    Guid      0..7 the accepted GUIDs in the driver's order, 8 the
//                       camera's firmware class, 9 sixteen bytes that follow
//       LE32  Flags
//       U8    Shape     bit 0: HeaderSize and CapsuleImageSize as two LE32
//                       that follow, else HeaderSize 28 + (U8 that follows)
//                       and CapsuleImageSize the capsule's real size;
//                       bit 1: BaseAddress 0; bits 2-3: HobLength 24 (the
//                       whole HOB), 16 (no Length), 8 (header only), or 24
//                       + 8 x (U8 that follows) with the words zero
//       LE16  N, then N bytes: the payload's recipe (ImageRecipe.h), 48 KiB
//       U8    Slack     bytes of platform memory after the capsule
//   1 another HOB: LE16 Type, U8 Words, then 8 x Words bytes of body; a
//     capsule type becomes EFI_HOB_TYPE_UNUSED (a capsule HOB's address is
//     the platform's word, which record 0 keeps true)
//   2 a HOB shorter than its header: U8 HobLength (taken modulo 8), LE16
//     Type; the walk must end there
// The list is a PHIT, the records, the end HOB, in an exact-size buffer; each
// capsule sits in an exact-size buffer of its own, which its HOB's Length
// describes truly (the platform's memory is not in question, the capsule's
// header and payload are). Every HOB's length is a multiple of 8, as PEI
// builds them, except the short HOBs of record 2.
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include <Guid/HobList.h>
#include <Pi/PiHob.h>

#include "CameraUpdateDriver.h"
#include "Fuzz/Harness/BootChecks.h"
#include "Fuzz/Harness/Budget.h"
#include "Fuzz/Harness/DriverState.h"
#include "Fuzz/Harness/FuzzedCamera.h"
#include "Fuzz/Harness/ImageRecipe.h"
#include "Fuzz/Harness/Targets.h"

namespace Fuzz {

namespace {

constexpr uint8_t kPort = 4;
constexpr size_t kMaxPayload = 48 * 1024;
constexpr uint64_t kWorkPerCapsule = 0x10000;
const char kKinds[] = "fghijklmnpq";
const EFI_GUID kCameraClass = CAMERA_30C9_004A_FW_CLASS_GUID;

template <typename T>
void Append(std::vector<uint8_t> &Out, const T &Value) {
  const auto *Bytes = reinterpret_cast<const uint8_t *>(&Value);
  Out.insert(Out.end(), Bytes, Bytes + sizeof(Value));
}

struct Built {
  std::vector<uint8_t> List;
  std::vector<std::unique_ptr<ExactBuffer>> Capsules;
  uint64_t CapsuleBytes = 0;
};

void AddCapsuleHob(ByteReader &In, Built &Out) {
  EFI_GUID Guid;
  const uint8_t GuidChoice = In.U8() % 10;
  if (GuidChoice < ACCEPTED_CAPSULE_GUID_COUNT) {
    Guid = mAcceptedCapsuleGuids[GuidChoice];
  } else if (GuidChoice == ACCEPTED_CAPSULE_GUID_COUNT) {
    Guid = kCameraClass;
  } else {
    std::vector<uint8_t> Bytes = In.Bytes(sizeof(Guid));
    Bytes.resize(sizeof(Guid), 0);
    std::memcpy(&Guid, Bytes.data(), sizeof(Guid));
  }
  const uint32_t Flags = In.Le32();
  const uint8_t Shape = In.U8();
  uint32_t HeaderSize = 0;
  uint32_t ImageSize = 0;
  const bool Raw = (Shape & 1) != 0;
  if (Raw) {
    HeaderSize = In.Le32();
    ImageSize = In.Le32();
  } else {
    HeaderSize = sizeof(EFI_CAPSULE_HEADER) + In.U8();
  }
  const unsigned HobShape = (Shape >> 2) & 3;
  const uint8_t ExtraWords = HobShape == 3 ? In.U8() : 0;
  const std::vector<uint8_t> Recipe = In.Bytes(In.Le16());
  ByteReader RecipeReader(Recipe.data(), Recipe.size());
  const std::vector<uint8_t> Payload = BuildImage(RecipeReader, kMaxPayload);
  const uint8_t Slack = In.U8();

  // The capsule: its header, zeros up to HeaderSize (when the sizes are the
  // capsule's own), the payload, then the slack of platform memory.
  std::vector<uint8_t> Memory;
  EFI_CAPSULE_HEADER Header;
  std::memset(&Header, 0, sizeof(Header));
  Header.CapsuleGuid = Guid;
  Header.Flags = Flags;
  Header.HeaderSize = HeaderSize;
  Append(Memory, Header);
  if (!Raw) {
    Memory.resize(HeaderSize, 0);
  }
  Memory.insert(Memory.end(), Payload.begin(), Payload.end());
  if (!Raw) {
    ImageSize = static_cast<uint32_t>(Memory.size());
  }
  std::memcpy(Memory.data() + OFFSET_OF(EFI_CAPSULE_HEADER, CapsuleImageSize), &ImageSize, sizeof(ImageSize));
  Memory.resize(Memory.size() + Slack, 0xAF);
  auto Capsule = std::make_unique<ExactBuffer>(Memory);

  // Its HOB.
  EFI_HOB_UEFI_CAPSULE Hob;
  std::memset(&Hob, 0, sizeof(Hob));
  Hob.BaseAddress = (Shape & 2) ? 0 : reinterpret_cast<uintptr_t>(Capsule->Data());
  Hob.Length = Capsule->Size();
  static const uint16_t kLengths[3] = {sizeof(EFI_HOB_UEFI_CAPSULE), 16, 8};
  const size_t HobLength = HobShape == 3 ? sizeof(Hob) + 8u * ExtraWords : kLengths[HobShape];
  Hob.Header.HobType = EFI_HOB_TYPE_UEFI_CAPSULE;
  Hob.Header.HobLength = static_cast<uint16_t>(HobLength);
  std::vector<uint8_t> Bytes;
  Append(Bytes, Hob);
  Bytes.resize(HobLength, 0);
  Out.List.insert(Out.List.end(), Bytes.begin(), Bytes.end());
  Out.CapsuleBytes += Capsule->Size();
  Out.Capsules.push_back(std::move(Capsule));
}

Built BuildHobList(ByteReader &In, EFI_BOOT_MODE BootMode) {
  Built Out;
  EFI_HOB_HANDOFF_INFO_TABLE Phit;
  std::memset(&Phit, 0, sizeof(Phit));
  Phit.Header.HobType = EFI_HOB_TYPE_HANDOFF;
  Phit.Header.HobLength = sizeof(Phit);
  Phit.Version = EFI_HOB_HANDOFF_TABLE_VERSION;
  Phit.BootMode = BootMode;
  Append(Out.List, Phit);
  while (!In.Empty()) {
    switch (In.U8() % 3) {
      case 0:
        AddCapsuleHob(In, Out);
        break;
      case 1: {
        EFI_HOB_GENERIC_HEADER Header = {In.Le16(), 0, 0};
        if (Header.HobType == EFI_HOB_TYPE_UEFI_CAPSULE) {
          Header.HobType = EFI_HOB_TYPE_UNUSED;
        }
        const uint8_t Words = In.U8();
        Header.HobLength = static_cast<uint16_t>(8 + 8 * Words);
        std::vector<uint8_t> Body = In.Bytes(8u * Words);
        Body.resize(8u * Words, 0);
        Append(Out.List, Header);
        Out.List.insert(Out.List.end(), Body.begin(), Body.end());
        break;
      }
      default: {
        const uint16_t Length = In.U8() % 8;
        EFI_HOB_GENERIC_HEADER Header = {In.Le16(), Length, 0};
        Append(Out.List, Header);
        break;
      }
    }
  }
  const EFI_HOB_GENERIC_HEADER End = {EFI_HOB_TYPE_END_OF_HOB_LIST, sizeof(EFI_HOB_GENERIC_HEADER), 0};
  const size_t EndOffset = Out.List.size();
  Append(Out.List, End);
  Phit.EfiEndOfHobList = EndOffset;  // made an address once the list has its place
  std::memcpy(Out.List.data(), &Phit, sizeof(Phit));
  return Out;
}

}  // namespace

Findings RunCapsuleHobsInput(const uint8_t *Data, size_t Size) {
  ByteReader In(Data, Size);
  const uint8_t Settings = In.U8();
  const uint8_t SizeOrMode = In.U8();
  const char Kind = kKinds[In.U8() % (sizeof(kKinds) - 1)];
  const EFI_BOOT_MODE BootMode = (Settings & 0x10) ? SizeOrMode : BOOT_ON_FLASH_UPDATE;
  Built Hobs = BuildHobList(In, BootMode);
  ExactBuffer List(Hobs.List);
  auto *Phit = reinterpret_cast<EFI_HOB_HANDOFF_INFO_TABLE *>(List.Data());
  Phit->EfiEndOfHobList += reinterpret_cast<uintptr_t>(List.Data());

  Sim::Machine Machine;
  if (Settings & 0x04) {
    Machine.SetupVariableSize.reset();
  } else if (Settings & 0x08) {
    Machine.SetupVariableSize = size_t(SizeOrMode) * 16;
  }
  static const Sim::EcFault kFaults[4] = {Sim::EcFault::None, Sim::EcFault::InputNeverDrains,
                                          Sim::EcFault::OutputNeverFills, Sim::EcFault::Absent};
  Machine.Ec.Fault = kFaults[(Settings >> 5) & 3];
  std::shared_ptr<FuzzedCamera> Camera;
  if (Settings & 0x80) {
    Camera = std::make_shared<FuzzedCamera>(std::make_shared<Sim::Camera>(Sim::CameraProfile::ForIspKind(Kind)),
                                            std::vector<uint8_t>());
    Machine.UsbPorts[kPort] = Camera;
  }

  Findings Out;
  Sim::Platform Boot(Machine);
  EFI_GUID HobListGuid = HOB_LIST_GUID;
  Boot.SetConfigurationTable(HobListGuid, List.Data());
  RunLibraryConstructors(Boot);
  ForgetDriverState();
  const uint64_t AllocationsBefore = Boot.Boot().AllocationCount();
  UpdateBudget Budget(Boot, Camera.get(), Hobs.CapsuleBytes + kWorkPerCapsule * (Hobs.Capsules.size() + 1), Out);

  // The platform's order: ESRT management, display, hook, the driver, the
  // trigger (whose notification is the capsule check).
  Boot.InstallEsrtManagement();
  if (Settings & 0x02) {
    Boot.InstallPlatformProgress();
    Boot.InstallGraphicsOutput();
  }
  if (Settings & 0x01) {
    Boot.InstallPlatformHook();
  }
  EFI_STATUS EntryStatus = EFI_NOT_STARTED;
  Boot.RunAgent([&] { EntryStatus = CameraUpdateDriverEntryPoint(Boot.ImageHandle(), Boot.SystemTable()); });
  if (EntryStatus != EFI_SUCCESS) {
    Out.Add("the entry point returned " + std::to_string(EntryStatus));
    return Out;
  }
  Boot.InstallTrigger();
  if (Verbose()) {
    std::fprintf(stderr, "capsule-hobs: %zu capsule HOBs, %s, %llu requests, %.1f s, %zu hook calls, %zu EC transactions\n",
                 Hobs.Capsules.size(), Boot.BootEnded() ? "reset" : "no reset",
                 static_cast<unsigned long long>(Camera ? Camera->Requests() : 0), Boot.Clock().NowNs() / 1e9,
                 Boot.Hook().Calls().size(), Boot.Ec().Transactions().size());
  }
  if (Budget.Exceeded()) {
    return Out;
  }

  if (Boot.BootEnded() && Boot.Reset()->Type != EfiResetCold) {
    Out.Add("the boot ended in a reset of type " + std::to_string(Boot.Reset()->Type));
  }
  if (!Boot.BootEnded()) {
    // Without a reset, what the driver holds for the rest of the boot is its
    // camera context and nothing else.
    CheckPoolReturned(Boot, AllocationsBefore, mCameraContext, Out);
  }
  CheckServices(Boot, Out);
  for (const Sim::EcViolation &Breach : Boot.Ec().Violations()) {
    Out.Add("embedded controller: " + Breach.What);
  }
  return Out;
}

}  // namespace Fuzz
