// The configuration file every service of the simulated drive reads.
#include "sim/sim_config.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>

#include <unistd.h>

namespace {

TEST(SimConfig, ReadsDrivesIdentitiesAndFaults) {
  SimConfig c;
  ParseSimConfig(
      "# two drives\n"
      "adapters 2\r\n"
      "log /tmp/w.log\n"
      "drive 0 1 0\n"
      "  vendor KORVADYN\n"
      "  product \"CD-RW K53R      \"\n"
      "  model \"K53R-PX   \"\n"
      "  version 209A\n"
      "  fault write 3 1 check 2900\n"
      "  fault read 2 1 short\n"
      "drive 1 0 0\n"
      "  delay 5\n"
      "  fault update 1 2 async 40\n",
      c);
  EXPECT_TRUE(c.errors.empty()) << c.errors[0];
  EXPECT_EQ(c.adapters, 2);
  EXPECT_EQ(c.log_path, "/tmp/w.log");
  ASSERT_EQ(c.drives.size(), 2u);
  EXPECT_EQ(c.drives[0]->sim->identity().product, "CD-RW K53R      ");
  EXPECT_EQ(c.drives[0]->sim->identity().model, "K53R-PX   ");
  ASSERT_EQ(c.Find(1, 0, 0), c.drives[1].get());
  EXPECT_EQ(c.Find(1, 1, 0), nullptr);

  const uint8_t update[12] = {0x33, 0x6C, 0xF1, 0, 0, 0, 0x80, 0, 0, 'K', 'V', 'D'};
  const uint8_t other[12] = {0x00};
  EXPECT_EQ(c.drives[1]->DelayFor(update), 40u);
  EXPECT_EQ(c.drives[1]->DelayFor(other), 5u);
  EXPECT_EQ(c.drives[1]->DelayFor(update), 40u);
  EXPECT_EQ(c.drives[1]->DelayFor(update), 5u);
}

TEST(SimConfig, BadLinesAreReportedWithTheirNumberAndSkipped) {
  SimConfig c;
  ParseSimConfig("vendor X\ndrive 0 0\ndrive 0 0 0\nfault write 0 1 check 4400\nfault nope 1 1 reject\n"
                 "fault write 1 1 check 4G00\nfault read 1 1 sideways\ntype 40\nbogus\n",
                 c);
  ASSERT_EQ(c.errors.size(), 8u);
  EXPECT_EQ(c.errors[0].rfind("config error: line 1: ", 0), 0u);
  EXPECT_EQ(c.errors[1].rfind("config error: line 2: ", 0), 0u);
  EXPECT_NE(c.errors[7].find("unknown setting 'bogus'"), std::string::npos);
  EXPECT_EQ(c.drives.size(), 1u);
  EXPECT_EQ(c.adapters, 1);
}

TEST(SimConfig, MissingFileGivesNoAdapterAndEnvironmentWins) {
  SimConfig none;
  LoadSimConfig("/nonexistent/sim.cfg", "", "", none);
  EXPECT_EQ(none.adapters, 0);
  ASSERT_EQ(none.errors.size(), 1u);

  SimConfig plain;
  LoadSimConfig("", "/tmp/env.log", "/tmp/out", plain);
  EXPECT_EQ(plain.adapters, 1);
  ASSERT_EQ(plain.drives.size(), 1u);
  EXPECT_EQ(plain.log_path, "/tmp/env.log");
  EXPECT_EQ(plain.out_dir, "/tmp/out");
}

// A short transfer moves half of the data and says so; the drive keeps
// only that half of a write.
TEST(SimConfig, ShortTransferMovesHalfTheData) {
  SimConfig c;
  ParseSimConfig("drive 0 0 0\nfault write 2 1 short\nfault read 1 1 short\n", c);
  SimDrive& d = *c.drives[0]->sim;
  uint8_t cdb[12] = {0x33, 0x6C, 0xF1, 0, 0, 0, 0, 0x04, 0x00, 'K', 'V', 'D'};
  uint8_t data[1024];
  std::memset(data, 0x11, sizeof data);
  SimRequest w;
  w.cdb = cdb;
  w.direction = SimDirection::Out;
  w.buffer = data;
  w.length = sizeof data;
  EXPECT_EQ(d.Execute(w).transferred, 1024u);
  std::memset(data, 0x22, sizeof data);
  const SimReply shortened = d.Execute(w);
  EXPECT_EQ(shortened.scsi_status, 0);
  EXPECT_EQ(shortened.transferred, 512u);
  EXPECT_EQ(d.BufferContents()[511], 0x22);
  EXPECT_EQ(d.BufferContents()[512], 0x11);

  cdb[2] = 0xF2;
  uint8_t back[1024];
  std::memset(back, 0xEE, sizeof back);
  SimRequest r = w;
  r.direction = SimDirection::In;
  r.buffer = back;
  EXPECT_EQ(d.Execute(r).transferred, 512u);
  EXPECT_EQ(back[0], 0x22);
  EXPECT_EQ(back[600], 0x00);
}

TEST(SimConfig, FlashedImageGoesToTheOutputFolderOnce) {
  SimConfig c;
  ParseSimConfig("drive 0 3 0\n", c);
  SimDriveConfig& d = *c.drives[0];
  EXPECT_EQ(SaveSimFlash(d, "/tmp", '/'), "");  // nothing flashed yet
  uint8_t cdb[12] = {0x33, 0x6C, 0xF1, 0, 0, 0, 0, 0x00, 0x04, 'K', 'V', 'D'};
  uint8_t data[4] = {1, 2, 3, 4};
  SimRequest w;
  w.cdb = cdb;
  w.direction = SimDirection::Out;
  w.buffer = data;
  w.length = 4;
  d.sim->Execute(w);
  uint8_t flash[12] = {0x33, 0x6C, 0xF1, 0, 0, 0, 0x80, 0, 0, 'K', 'V', 'D'};
  SimRequest f;
  f.cdb = flash;
  ASSERT_EQ(d.sim->Execute(f).scsi_status, 0);
  char dir[] = "/tmp/simcfgXXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  EXPECT_EQ(SaveSimFlash(d, dir, '/'), "");
  const std::string name = std::string(dir) + "/flash-0-3-1.bin";
  FILE* in = std::fopen(name.c_str(), "rb");
  ASSERT_NE(in, nullptr);
  uint8_t got[8] = {};
  EXPECT_EQ(std::fread(got, 1, sizeof got, in), 4u);
  std::fclose(in);
  EXPECT_EQ(got[3], 4);
  std::remove(name.c_str());
  EXPECT_EQ(SaveSimFlash(d, dir, '/'), "");  // nothing new since
  rmdir(dir);
}

}  // namespace
