// The documents of --json: one JSON object on stdout per run, for the drive
// list, the history and the result of an update. Texts from drives and files
// may hold any bytes: what is not UTF-8 is replaced, never passed on.
#pragma once
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

// Version of the documents' layout; raised when a field changes meaning.
constexpr int kJsonFormatVersion = 1;

struct DriveFacts {
  std::string path;      // /dev/sgN
  std::string block;     // /dev/srN, empty when the kernel shows none
  std::string hctl;      // host:channel:target:lun
  std::string vendor;    // INQUIRY, trailing blanks removed
  std::string product;
  std::string model;     // the drive's model name; empty when it did not answer
  std::string firmware;  // its firmware version
  std::vector<std::string> images;  // names of the images that fit it
};

struct UpdateFacts {
  DriveFacts drive;
  std::string image;           // the image chosen; empty before a choice
  std::string firmware_after;  // what the drive reported after the settle; empty: no answer
  std::string ending;          // a word: "updated", "declined", "buffer-write-error", ...
  int exit_status = 0;
  std::string message;         // what the program said of the ending, one line per break
  bool dry_run = false;
  // --dry-run: what would have been sent.
  uint32_t image_size = 0;
  uint32_t chunks = 0;
  std::string flash_mode;      // "default" (80h) or "4k" (40h)
  bool read_back = false;
};

nlohmann::json DriveJson(const DriveFacts& drive);
// {"format":1,"drives":[...]}
nlohmann::json ListDocument(const std::vector<DriveFacts>& drives);
// {"format":1,"result":{...}}
nlohmann::json ResultDocument(const UpdateFacts& facts);
// {"format":1,"results":[...],"updated":N,"exit_status":S} for --all-drives.
nlohmann::json ResultsDocument(const std::vector<nlohmann::json>& results, int updated, int exit_status);
// The text of a document as it is printed: one line, bytes that are not
// UTF-8 replaced (U+FFFD), ending in a line break.
std::string JsonText(const nlohmann::json& document);
