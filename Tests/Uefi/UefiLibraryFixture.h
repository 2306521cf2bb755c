// A fresh simulated platform with the library constructors run against it,
// as ProcessLibraryConstructorList does before a driver's entry point. The
// test executable links its own copy of the library, so the globals set here
// (gST, gBS, gRT, the HOB list) are the test's own.
#pragma once

#include <memory>
#include <string>

#include <gtest/gtest.h>

#include <Library/LibraryConstructors.h>
#include <Library/MemoryAllocationLib.h>

#include "Sim/Platform.h"

class UefiLibraryTest : public ::testing::Test {
 protected:
  void SetUp() override { Boot(); }

  // Starts a new boot on a new platform and runs the constructors again.
  void Boot() {
    Platform_ = std::make_unique<Sim::Platform>();
    RunConstructors();
  }

  // Runs the constructors against the current system table, e.g. after the
  // platform changed its HOB list or configuration tables.
  void RunConstructors() {
    EFI_SYSTEM_TABLE *SystemTable = Platform_->SystemTable();
    ASSERT_EQ(UefiBootServicesTableLibConstructor(Platform_->ImageHandle(), SystemTable), EFI_SUCCESS);
    ASSERT_EQ(UefiRuntimeServicesTableLibConstructor(Platform_->ImageHandle(), SystemTable), EFI_SUCCESS);
    ASSERT_EQ(HobLibConstructor(Platform_->ImageHandle(), SystemTable), EFI_SUCCESS);
  }

  void TearDown() override {
    // Whatever a test allocated through the library it must have freed, and
    // nothing may have been freed twice or from outside the pool.
    EXPECT_TRUE(Platform_->Boot().LiveAllocations().empty()) << "pool leak";
    EXPECT_TRUE(Platform_->Boot().Misuses().empty()) << Platform_->Boot().Misuses().front().What;
  }

  // Copies a pool string the library returned into ASCII and frees it.
  static std::string TakeText(CHAR16 *Text) {
    std::string Ascii;
    for (const CHAR16 *Char = Text; *Char != 0; ++Char) {
      Ascii.push_back(*Char < 0x80 ? static_cast<char>(*Char) : '?');
    }
    FreePool(Text);
    return Ascii;
  }

  Sim::Platform &P() { return *Platform_; }

  std::unique_ptr<Sim::Platform> Platform_;
};
