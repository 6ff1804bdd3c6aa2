// Transport selection: the NT platform takes the pass-through, every other
// platform the ASPI library, with no fallback either way.
#include <gtest/gtest.h>

#include "scsi/discovery.h"
#include "scsi/dispatcher.h"
#include "tests/win/transports/stand_ins.h"

namespace {

class Discovery : public ::testing::Test {
 protected:
  void SetUp() override { InstallWorld(); }
  void TearDown() override { UninstallWorld(); }
};

TEST_F(Discovery, TheNtPlatformUsesThePassThroughAndNeverLoadsTheLibrary) {
  g_world.platform_id = VER_PLATFORM_WIN32_NT;
  g_world.interfaces = {{"\\\\?\\cdrom0", false, false}, {"\\\\?\\cdrom1", false, false}};
  g_world.devices = {{0, 0, 0, 5}};
  EXPECT_EQ(DiscoverDrives(), 2);
  EXPECT_EQ(g_world.version_info_size, 148u);
  EXPECT_TRUE(g_pass_through_mode);
  EXPECT_EQ(DriveTable[0].device_handle, FakeHandleFor(0));
  EXPECT_EQ(DriveTable[1].device_handle, FakeHandleFor(1));
  EXPECT_TRUE(g_world.loaded.empty());
}

TEST_F(Discovery, AnEmptyPassThroughEnumerationDoesNotFallBackToTheLibrary) {
  g_world.platform_id = VER_PLATFORM_WIN32_NT;
  g_world.devices = {{0, 0, 0, 5}};
  EXPECT_EQ(DiscoverDrives(), 0);
  EXPECT_TRUE(g_pass_through_mode);
  EXPECT_TRUE(g_world.loaded.empty());
}

TEST_F(Discovery, OtherPlatformsUseTheLibraryAndNoMissingLibraryFallsBack) {
  g_world.platform_id = VER_PLATFORM_WIN32_WINDOWS;
  g_world.interfaces = {{"\\\\?\\cdrom0", false, false}};
  g_world.devices = {{0, 1, 0, 5}};
  EXPECT_EQ(DiscoverDrives(), 1);
  EXPECT_FALSE(g_pass_through_mode);
  EXPECT_EQ(DriveTable[0].target_id, 1);
  EXPECT_TRUE(g_world.opens.empty());

  UninstallWorld();
  InstallWorld();
  g_world.platform_id = VER_PLATFORM_WIN32_WINDOWS;
  g_world.library_present = false;
  g_world.interfaces = {{"\\\\?\\cdrom0", false, false}};
  EXPECT_EQ(DiscoverDrives(), 0);
  EXPECT_EQ(g_drive_table_count, 0);
  EXPECT_TRUE(g_world.opens.empty());
}

TEST_F(Discovery, TheChosenTransportCarriesCommandsThroughTheDispatcher) {
  g_world.platform_id = VER_PLATFORM_WIN32_NT;
  g_world.interfaces = {{"\\\\?\\cdrom0", false, false}};
  ASSERT_EQ(DiscoverDrives(), 1);
  ASSERT_EQ(SelectDrive(0), 1);
  ScsiCommand command{};
  command.direction = ScsiDirection::kIn;
  command.cdb[0] = 0x12;
  EXPECT_EQ(SendScsiCommand(command, 1000), 1);
  EXPECT_EQ(g_world.ioctls.size(), 1u);
  EXPECT_EQ(g_world.events_created, 0);  // no events in pass-through mode

  UninstallWorld();
  InstallWorld();
  g_world.platform_id = VER_PLATFORM_WIN32_WINDOWS;
  g_world.devices = {{0, 2, 0, 5}};
  ASSERT_EQ(DiscoverDrives(), 1);
  ASSERT_EQ(SelectDrive(0), 1);
  ScsiCommand again{};
  again.direction = ScsiDirection::kIn;
  again.cdb[0] = 0x12;
  EXPECT_EQ(SendScsiCommand(again, 1000), 1);
  ASSERT_EQ(g_world.executes.size(), 1u);
  EXPECT_EQ(g_world.executes[0].block.target_id, 2);
  EXPECT_EQ(g_world.events_created, 1);
  EXPECT_EQ(g_world.closed.size(), 1u);
}

}  // namespace
