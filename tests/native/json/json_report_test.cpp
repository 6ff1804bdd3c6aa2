// The --json documents read back by a parser: every field where a script
// looks for it, and bytes from a drive or a file that are not text never
// make the document unreadable.
#include "cli/json_report.h"

#include <gtest/gtest.h>

namespace {

DriveFacts Drive() {
  DriveFacts d;
  d.path = "/dev/sg1";
  d.block = "/dev/sr0";
  d.hctl = "1:0:0:0";
  d.vendor = "VENDOR";
  d.product = "CD-RW K53R-TX";
  d.model = "K53R-TX   ";
  d.firmware = "209A";
  d.images = {"K53R-TX   209B"};
  return d;
}

nlohmann::json ReadBack(const nlohmann::json& document) {
  const std::string text = JsonText(document);
  EXPECT_EQ(text.back(), '\n');
  EXPECT_EQ(text.find('\n'), text.size() - 1) << "one line";
  return nlohmann::json::parse(text);
}

TEST(JsonReport, ListAndResultCarryEveryFieldAScriptReads) {
  DriveFacts second = Drive();
  second.path = "/dev/sg2";
  second.block.clear();
  second.model.clear();
  second.images.clear();
  const nlohmann::json list = ReadBack(ListDocument({Drive(), second}));
  EXPECT_EQ(list["format"], kJsonFormatVersion);
  ASSERT_EQ(list["drives"].size(), 2u);
  EXPECT_EQ(list["drives"][0]["path"], "/dev/sg1");
  EXPECT_EQ(list["drives"][0]["block_device"], "/dev/sr0");
  EXPECT_EQ(list["drives"][0]["images"][0], "K53R-TX   209B");
  EXPECT_TRUE(list["drives"][1]["block_device"].is_null());
  EXPECT_TRUE(list["drives"][1]["images"].empty());

  UpdateFacts facts;
  facts.drive = Drive();
  facts.image = "K53R-TX   209B";
  facts.firmware_after = "209B";
  facts.ending = "updated";
  facts.exit_status = 0;
  const nlohmann::json result = ReadBack(ResultDocument(facts))["result"];
  EXPECT_EQ(result["drive"]["hctl"], "1:0:0:0");
  EXPECT_EQ(result["firmware_before"], "209A");
  EXPECT_EQ(result["firmware_after"], "209B");
  EXPECT_EQ(result["ending"], "updated");
  EXPECT_EQ(result["exit_status"], 0);
  EXPECT_FALSE(result.contains("would_send"));

  facts.firmware_after.clear();
  facts.image.clear();
  facts.dry_run = true;
  facts.image_size = 0x80000;
  facts.chunks = 512;
  facts.flash_mode = "default";
  const nlohmann::json dry = ReadBack(ResultDocument(facts))["result"];
  EXPECT_TRUE(dry["firmware_after"].is_null());
  EXPECT_TRUE(dry["image"].is_null());
  EXPECT_EQ(dry["would_send"]["chunks"], 512);
  EXPECT_EQ(dry["would_send"]["flash_mode"], "default");
}

TEST(JsonReport, BytesThatAreNotTextStillMakeAReadableDocument) {
  DriveFacts d = Drive();
  d.vendor = std::string("AB\xff\xfe\x00Z", 6);
  d.product = "\x1b[2J\"quoted\"\\ \n\t";
  d.images = {std::string("\xc3\x28 bad", 6)};
  UpdateFacts facts;
  facts.drive = d;
  facts.message = "\r\n BUFFER WRITE ERROR!!";
  const nlohmann::json back = ReadBack(ResultDocument(facts));
  EXPECT_EQ(back["result"]["drive"]["product"], "\x1b[2J\"quoted\"\\ \n\t");
  EXPECT_EQ(back["result"]["message"], "\r\n BUFFER WRITE ERROR!!");
  const std::string vendor = back["result"]["drive"]["vendor"];
  EXPECT_EQ(vendor.substr(0, 2), "AB");
  EXPECT_NE(vendor.find("\xef\xbf\xbd"), std::string::npos) << "replacement character";
  const nlohmann::json many = ReadBack(ResultsDocument({ResultDocument(facts)["result"]}, 0, 41));
  EXPECT_EQ(many["drives"], 1);
  EXPECT_EQ(many["exit_status"], 41);
}

}  // namespace
