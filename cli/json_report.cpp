#include "cli/json_report.h"

nlohmann::json DriveJson(const DriveFacts& drive) {
  nlohmann::json j = {{"path", drive.path},     {"hctl", drive.hctl},   {"vendor", drive.vendor},
                      {"product", drive.product}, {"model", drive.model}, {"firmware", drive.firmware},
                      {"images", drive.images}};
  j["block_device"] = drive.block.empty() ? nlohmann::json() : nlohmann::json(drive.block);
  return j;
}

nlohmann::json ListDocument(const std::vector<DriveFacts>& drives) {
  nlohmann::json list = nlohmann::json::array();
  for (const DriveFacts& drive : drives) list.push_back(DriveJson(drive));
  return {{"format", kJsonFormatVersion}, {"drives", list}};
}

nlohmann::json ResultDocument(const UpdateFacts& facts) {
  nlohmann::json result = {{"drive", DriveJson(facts.drive)},
                           {"firmware_before", facts.drive.firmware},
                           {"image", facts.image.empty() ? nlohmann::json() : nlohmann::json(facts.image)},
                           {"firmware_after",
                            facts.firmware_after.empty() ? nlohmann::json() : nlohmann::json(facts.firmware_after)},
                           {"ending", facts.ending},
                           {"exit_status", facts.exit_status},
                           {"message", facts.message},
                           {"dry_run", facts.dry_run}};
  if (facts.dry_run) {
    result["would_send"] = {{"image_size", facts.image_size},
                            {"chunks", facts.chunks},
                            {"chunk_size", 1024},
                            {"read_back", facts.read_back},
                            {"flash_mode", facts.flash_mode}};
  }
  return {{"format", kJsonFormatVersion}, {"result", result}};
}

nlohmann::json ResultsDocument(const std::vector<nlohmann::json>& results, int updated, int exit_status) {
  return {{"format", kJsonFormatVersion},
          {"results", results},
          {"drives", results.size()},
          {"updated", updated},
          {"exit_status", exit_status}};
}

std::string JsonText(const nlohmann::json& document) {
  return document.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}
