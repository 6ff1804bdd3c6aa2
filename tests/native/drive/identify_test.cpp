#include <cstring>

#include "drive_fixture.h"

namespace {

class IdentifyTest : public DriveTest {};

TEST_F(IdentifyTest, RecordsTakeFullWidthsEndAtZeroAndSurviveGarbage) {
  SimIdentity plain;
  plain.vendor = "ABCDEFGH";
  plain.product = "0123456789ABCDEF";
  plain.revision = "1.2 ";
  plain.model = "K53R-TX";  // the drive pads it to 10
  plain.version = "208W";
  sim.Add(plain);
  SimIdentity garbage;  // replies full of 0xFF, far longer than asked
  garbage.raw_inquiry.assign(300, 0xFF);
  garbage.raw_identify.assign(300, 0xFF);
  garbage.has_raw_inquiry = garbage.has_raw_identify = true;
  sim.Add(garbage);
  SimIdentity zeros;  // zero bytes inside the fields, and a reply cut short
  zeros.raw_identify = {0, 0, 'K', '5', 0, 'X', ' ', ' ', ' ', ' ', ' ', ' ', 0, '0', '9', 'A'};
  zeros.raw_inquiry.assign(20, 'V');
  zeros.has_raw_inquiry = zeros.has_raw_identify = true;
  sim.Add(zeros);
  sim.Add().AddFault({SimKind::Inquiry, 1, 100, SimFaultKind::CheckCondition, 0x2400});
  sim.drive(3).AddFault({SimKind::IdentifyModel, 1, 100, SimFaultKind::OsRejection});
  Install();
  for (int i = 0; i < 4; ++i) std::memset(&state.drive_identity_table[i], 'J', sizeof(DriveIdentity));

  IdentifyDrives();
  const DriveIdentity* t = state.drive_identity_table.get();
  EXPECT_STREQ(t[0].vendor_identification, "ABCDEFGH");
  EXPECT_STREQ(t[0].product_identification, "0123456789ABCDEF");
  EXPECT_STREQ(t[0].product_revision, "1.2 ");
  EXPECT_STREQ(t[0].model_name, "K53R-TX   ");
  EXPECT_STREQ(t[0].firmware_version, "208W");
  EXPECT_EQ(std::string(t[1].vendor_identification), std::string(8, '\xFF'));
  EXPECT_EQ(std::string(t[1].product_identification), std::string(16, '\xFF'));
  EXPECT_EQ(std::string(t[1].model_name), std::string(10, '\xFF'));
  EXPECT_EQ(std::string(t[1].firmware_version), std::string(4, '\xFF'));
  EXPECT_STREQ(t[2].model_name, "K5");
  EXPECT_STREQ(t[2].firmware_version, "");
  EXPECT_STREQ(t[2].vendor_identification, "VVVVVVVV");
  EXPECT_STREQ(t[2].product_identification, "VVVV");  // bytes 20.. never arrived
  EXPECT_STREQ(t[3].vendor_identification, "");
  EXPECT_STREQ(t[3].model_name, "");

  // Each drive is asked in turn: INQUIRY (56 bytes) then Identify Model (16).
  std::string order;
  for (const SimLogEntry& e : sim.Log()) order += std::to_string(e.drive) + SimKindName(e.kind)[0] + std::to_string(e.length) + " ";
  EXPECT_EQ(order.substr(0, 32), "0I56 0I16 1I56 1I16 2I56 2I16 3I");
}

TEST_F(IdentifyTest, DriveThatCannotBeSelectedGetsAnEmptyRecordAndNoCommands) {
  AddDrive("K53R-TX   ", "208W");
  LoadPayload({Firmware("K53R-TX   ", "209A", 0x400)});
  state.drive_count = 2;  // one more than discovery found
  state.drive_identity_table.reset(new DriveIdentity[2]());
  IdentifyDrives();
  EXPECT_STREQ(state.drive_identity_table[1].model_name, "");
  EXPECT_EQ(sim.Log().size(), 2u);
  EXPECT_FALSE(Accept(1, 0, "fwupdate"));
  EXPECT_TRUE(host.events.empty());
}

TEST_F(IdentifyTest, DirectoryListsImagesFromTheEndOfTheFile) {
  auto unsigned_big = Firmware("K53R-PX   ", "300C", 0x10000, 3);
  std::memcpy(unsigned_big.data() + 0xFFD0, "Korvadyx", 8);  // probe fails: name comes from 0x50
  std::memcpy(unsigned_big.data() + 0x52, "OTHER-NAME0000", 14);
  LoadPayload({Firmware("K53R-T    ", "100A", 0x400), Firmware("K53R-TX   ", "209A", 0x10000), unsigned_big});
  ASSERT_EQ(state.image_count, 3);
  EXPECT_STREQ(state.image_directory[0].image_name, "OTHER-NAME0000");
  EXPECT_STREQ(state.image_directory[1].image_name, "K53R-TX   209A");
  EXPECT_STREQ(state.image_directory[2].image_name, "K53R-T    100A");
  EXPECT_EQ(state.image_directory[2].image_offset, 0x200u + 4);  // right behind the start marker
  EXPECT_EQ(state.image_directory[1].image_size, 0x10000u);
  EXPECT_EQ(state.image_directory[1].image_offset, 0x200u + 4 + 0x400 + 4);

  LoadPayload({});  // only the start marker: an empty directory, stale entries gone
  EXPECT_EQ(state.image_count, 0);
  EXPECT_STREQ(state.image_directory[0].image_name, "");
}

TEST_F(IdentifyTest, ModelRules) {
  const struct { const char* model; const char* version; bool accepted; bool read_back; } cases[] = {
      {"K53R-TX   ", "207Z", false, false}, {"K53R-TX   ", "208W", true, true},
      {"K53R-TX   ", "209A", true, true},   {"K53R-T    ", "207Z", false, false},
      {"K53R-T    ", "208 ", false, false}, {"K53R-T    ", "208a", true, true},  // byte-wise: 'a' > 'W'
      {"K53R-PX   ", "100A", true, false},
  };
  for (const auto& c : cases) {
    sim.Clear();
    AddDrive(c.model, c.version);
    IdentifyDrives();
    host.events.clear();
    state.read_back_verification = false;
    const ModelVerdict verdict = ApplyModelRules(0);
    EXPECT_EQ(verdict.go_on(), c.accepted) << c.model << c.version;
    EXPECT_EQ(state.read_back_verification, c.read_back) << c.model << c.version;
    EXPECT_TRUE(host.events.empty()) << "the rules show nothing themselves";
    if (c.accepted) {
      EXPECT_EQ(verdict.refusal, nullptr);
    } else {
      EXPECT_EQ(verdict.rule, ModelRule::DosOnly);
      EXPECT_STREQ(verdict.refusal, "This drive must be updated in DOS !!");
      state.read_back_verification = true;  // a refusal changes nothing else
      EXPECT_FALSE(ApplyModelRules(0).go_on());
      EXPECT_TRUE(state.read_back_verification);
    }
  }
  EXPECT_EQ(ApplyModelRules(1).rule, ModelRule::NoSuchDrive);
}

TEST_F(IdentifyTest, ModelMatchIsExactOverTheFirstTenCharacters) {
  sim.Add({});
  sim.drive(0).identity().model = "K53R-T";  // padded by the drive
  SimIdentity unpadded;
  unpadded.raw_identify = {0, 0, 'K', '5', '3', 'R', '-', 'T', 0, 0, 0, 0, '2', '0', '7', 'Z'};
  unpadded.has_raw_identify = true;
  sim.Add(unpadded);
  sim.Add().AddFault({SimKind::IdentifyModel, 1, 100, SimFaultKind::CheckCondition});  // answers nothing
  Install();
  auto nameless = Firmware("", "", 0x400);
  nameless[0x52] = 0;
  LoadPayload({nameless, Firmware("K53R-T    ", "209A", 0x400), Firmware("K53R-TX   ", "209A", 0x400)});
  IdentifyDrives();
  EXPECT_EQ(CountImagesForDrive(0), 1);
  EXPECT_TRUE(ImageAppliesToDrive(1, 0));
  EXPECT_FALSE(ImageAppliesToDrive(0, 0));
  EXPECT_EQ(CountImagesForDrive(1), 0);  // "K53R-T" matches neither image
  EXPECT_TRUE(ApplyModelRules(1).go_on());  // nor the DOS-only rule
  EXPECT_EQ(CountImagesForDrive(2), 0);      // not even the nameless image
  EXPECT_FALSE(ImageAppliesToDrive(0, 3));    // no such drive
  EXPECT_FALSE(ImageAppliesToDrive(3, 0));    // no such entry
  EXPECT_FALSE(ImageAppliesToDrive(100, 0));

  state.options.every_image_offered = true;
  EXPECT_EQ(CountImagesForDrive(1), 3);
  EXPECT_EQ(CountImagesForDrive(2), 3);
  EXPECT_FALSE(ImageAppliesToDrive(3, 0));  // still only real entries
}

TEST_F(IdentifyTest, StartupChecksRefuseBeforeTheyReportAMismatch) {
  const struct { const char* model; const char* version; bool every_image; int drives; ModelRule expected; } cases[] = {
      {"K53R-T    ", "207Z", false, 1, ModelRule::DosOnly},  // refused, though a mismatch too
      {"K53R-RW   ", "100A", false, 1, ModelRule::Mismatch},
      {"K53R-RW   ", "100A", true, 1, ModelRule::GoOn},
      {"K53R-TX   ", "207Z", false, 2, ModelRule::GoOn},  // with two drives the rule waits for the accept step
      {"K53R-PX   ", "100A", false, 1, ModelRule::GoOn},
  };
  for (const auto& c : cases) {
    sim.Clear();
    for (int i = 0; i < c.drives; ++i) AddDrive(c.model, c.version);
    LoadPayload({Firmware("K53R-TX   ", "209A", 0x400), Firmware("K53R-PX   ", "101A", 0x400)});
    IdentifyDrives();
    state.options.every_image_offered = c.every_image;
    host.events.clear();
    const ModelVerdict verdict = StartupModelChecks();
    EXPECT_EQ(verdict.rule, c.expected) << c.model << c.version << c.every_image;
    if (c.expected == ModelRule::DosOnly) {
      EXPECT_STREQ(verdict.refusal, "This drive must be updated in DOS !!");
    } else {
      EXPECT_EQ(verdict.refusal, nullptr);
    }
    EXPECT_TRUE(host.events.empty());
  }
}

TEST_F(IdentifyTest, AcceptStepAsksFromCurrentToNew) {
  AddDrive("K53R-RW   ", "100A");
  AddDrive("K53R-TX   ", "208W");
  LoadPayload({Firmware("K53R-TX   ", "209A", 0x400), Firmware("AB", "", 0x400)});
  IdentifyDrives();
  host.events.clear();
  host.answer = false;
  EXPECT_FALSE(Accept(1, 1, "fwupdate"));
  EXPECT_EQ(g_current_drive.index, 1);
  EXPECT_EQ(state.target_image_name, "K53R-TX   209A");
  host.answer = true;
  EXPECT_TRUE(Accept(1, 0, "fwupdate"));  // entry 0: name "AB" + 12 blanks
  state.options.every_image_offered = true;
  EXPECT_TRUE(Accept(0, 1, "fwupdate"));
  EXPECT_EQ(host.events, (std::vector<std::string>{
                             "ask:Are you sure to update firmware from\nVer 208W to Ver 209A|fwupdate",
                             "ask:Are you sure to update firmware from\nVer 208W to Ver     |fwupdate",
                             "ask:Are you sure to update firmware from\nK53R-RW   100A to K53R-TX   209A|fwupdate"}));

  // Out of range: refused without a question and without changing the target.
  host.events.clear();
  EXPECT_FALSE(Accept(2, 0, "fwupdate"));
  EXPECT_FALSE(Accept(0, 2, "fwupdate"));
  EXPECT_FALSE(Accept(0, -1, "fwupdate"));
  EXPECT_TRUE(host.events.empty());
  EXPECT_EQ(state.target_image_name, "K53R-TX   209A");
}

// The verdict says what the front end shows; the step itself shows nothing.
TEST_F(IdentifyTest, AcceptStepRefusedByTheDosRuleAsksNothing) {
  AddDrive("K53R-TX   ", "207Z");
  AddDrive("K53R-TX   ", "209A");
  LoadPayload({Firmware("K53R-TX   ", "209A", 0x400)});
  IdentifyDrives();
  AcceptVerdict verdict = AcceptStep(0, 0, "fwupdate");
  EXPECT_EQ(verdict.outcome, AcceptOutcome::Refused);
  EXPECT_EQ(verdict.text, "This drive must be updated in DOS !!");
  verdict = AcceptStep(1, 0, "fwupdate");
  EXPECT_EQ(verdict.outcome, AcceptOutcome::Ask);
  EXPECT_EQ(verdict.text, "Are you sure to update firmware from\nVer 209A to Ver 209A");
  EXPECT_EQ(verdict.caption, "fwupdate");
  EXPECT_EQ(AcceptStep(2, 0, "fwupdate").outcome, AcceptOutcome::NotAccepted);
  EXPECT_TRUE(host.events.empty());
  EXPECT_FALSE(Accept(0, 0, "fwupdate"));
  EXPECT_EQ(host.events, (std::vector<std::string>{"box:This drive must be updated in DOS !!"}));
}

TEST_F(IdentifyTest, NamesShorterThanTheirFieldsAreUsedWhole) {
  AddDrive("", "");
  sim.drive(0).identity().raw_identify = {0, 0, 'A', 'B', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  sim.drive(0).identity().has_raw_identify = true;
  auto image = Firmware("AB", "", 0x400);
  image[0x54] = 0;  // the name ends after "AB"
  LoadPayload({image});
  IdentifyDrives();
  EXPECT_EQ(CountImagesForDrive(0), 1);
  EXPECT_TRUE(Accept(0, 0, "x"));
  EXPECT_EQ(host.events.back(), "ask:Are you sure to update firmware from\nVer AB to Ver AB|x");
}

}  // namespace
