// IoLib on the host: accesses reach the simulated port space with the right
// port, width and value, and a platform without a port space reads all ones.
#include <cstdint>
#include <vector>

#include <Guid/HostPortSpace.h>
#include <Library/IoLib.h>

#include "UefiLibraryFixture.h"

namespace {

using IoLibTest = UefiLibraryTest;

constexpr uint16_t kDevicePort = 0x62;

// A device at kDevicePort..+3 that answers a fixed value and records writes.
struct TestDevice {
  std::vector<uint32_t> Writes;
  void MapOn(Sim::Platform &Platform) {
    Platform.Ports().Map(
        kDevicePort, 4, [](uint16_t, uint8_t) -> uint32_t { return 0xA1B2C3D4u; },
        [this](uint16_t, uint8_t, uint32_t Value) { Writes.push_back(Value); }, "TestDevice");
  }
};

TEST_F(IoLibTest, EachWidthReachesThePortSpaceAsOneAccess) {
  TestDevice Device;
  Device.MapOn(P());
  P().Ports().ClearLog();

  EXPECT_EQ(IoRead8(kDevicePort), 0xD4);
  EXPECT_EQ(IoRead16(kDevicePort), 0xC3D4);
  EXPECT_EQ(IoRead32(kDevicePort), 0xA1B2C3D4u);
  EXPECT_EQ(IoWrite8(kDevicePort, 0x5A), 0x5A);
  EXPECT_EQ(IoWrite16(kDevicePort, 0xBEEF), 0xBEEF);
  EXPECT_EQ(IoWrite32(kDevicePort, 0x01234567u), 0x01234567u);

  const auto &Log = P().Ports().Log();
  ASSERT_EQ(Log.size(), 6u);
  const uint8_t Widths[6] = {1, 2, 4, 1, 2, 4};
  for (size_t Index = 0; Index < Log.size(); ++Index) {
    EXPECT_EQ(Log[Index].Port, kDevicePort) << Index;
    EXPECT_EQ(Log[Index].Width, Widths[Index]) << Index;
    EXPECT_EQ(Log[Index].Write, Index >= 3) << Index;
  }
  EXPECT_EQ(Device.Writes, (std::vector<uint32_t>{0x5A, 0xBEEF, 0x01234567u}));
}

TEST_F(IoLibTest, PortNumbersAreTruncatedToSixteenBits) {
  TestDevice Device;
  Device.MapOn(P());
  P().Ports().ClearLog();
  EXPECT_EQ(IoRead32(0xABCD0000u + kDevicePort), 0xA1B2C3D4u);
  IoWrite8(0x10000u + kDevicePort, 0x11);
  ASSERT_EQ(P().Ports().Log().size(), 2u);
  EXPECT_EQ(P().Ports().Log()[0].Port, kDevicePort);
  EXPECT_EQ(P().Ports().Log()[1].Port, kDevicePort);
  EXPECT_EQ(Device.Writes, std::vector<uint32_t>{0x11});
}

TEST_F(IoLibTest, WithoutAPortSpaceReadsFloatHighAndWritesAreDropped) {
  TestDevice Device;
  Device.MapOn(P());
  IoRead8(kDevicePort);  // let the library find (and remember) the table first
  EFI_GUID PortSpaceGuid = HOST_PORT_SPACE_GUID;
  ASSERT_EQ(P().SetConfigurationTable(PortSpaceGuid, nullptr), EFI_SUCCESS);
  P().Ports().ClearLog();

  EXPECT_EQ(IoRead8(kDevicePort), 0xFF);
  EXPECT_EQ(IoRead16(kDevicePort), 0xFFFF);
  EXPECT_EQ(IoRead32(kDevicePort), 0xFFFFFFFFu);
  IoWrite32(kDevicePort, 1);
  EXPECT_TRUE(P().Ports().Log().empty());
  EXPECT_TRUE(Device.Writes.empty());

  // Published again, behind another table and so at a different index of
  // the configuration table, the port space is found again.
  EFI_GUID OtherGuid = {0x0badf00d, 0x1, 0x2, {3, 4, 5, 6, 7, 8, 9, 10}};
  static int OtherTable;
  ASSERT_EQ(P().SetConfigurationTable(OtherGuid, &OtherTable), EFI_SUCCESS);
  ASSERT_EQ(P().SetConfigurationTable(PortSpaceGuid, P().Ports().Table()), EFI_SUCCESS);
  EXPECT_EQ(IoRead32(kDevicePort), 0xA1B2C3D4u);
}

TEST_F(IoLibTest, ANewBootReachesItsOwnPortSpace) {
  TestDevice First;
  First.MapOn(P());
  EXPECT_EQ(IoRead32(kDevicePort), 0xA1B2C3D4u);

  // The next boot's platform has no device at the port. Nothing may reach
  // the previous boot's port space.
  Boot();
  P().Ports().ClearLog();
  EXPECT_EQ(IoRead32(kDevicePort), 0xFFFFFFFFu);
  EXPECT_EQ(P().Ports().Log().size(), 1u);
}

}  // namespace
