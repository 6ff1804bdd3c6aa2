#include "app/update_app_messages.h"

#include "drive/transfer.h"

namespace {

constexpr MessageKind kFinishKind = MessageKind::Finish;
constexpr MessageKind kErrorKind = MessageKind::Error;
constexpr MessageIcon kErrorIcon = MessageIcon::Error;
constexpr MessageIcon kFinishIcon = MessageIcon::Finish;

const char kSuccessText[] =
    "\nThe firmware of drive has been updated already."
    "\nIf you do not reboot your computer, the device"
    "\ndriver of CD-ROM/RW drive may not work properly."
    "\nPlease reboot your computer.";

const char kNotStartedText[] =
    "\r\nThe update did not start."
    "\nThe firmware of the drive was not changed.";

}  // namespace

RunReport ReportForResult(uint8_t result) {
  switch (result) {
    case TransferOk:
      return {kSuccessText, kFinishKind, kFinishIcon};
    case CompareMismatch:
      return {"\r\n BIOS DATA COMPARE ERROR!!", kErrorKind, kErrorIcon};
    case BufferWriteFailed:
      return {"\r\n BUFFER WRITE ERROR!!", kErrorKind, kErrorIcon};
    case BufferReadFailed:
      return {"\r\n BUFFER READ ERROR!!", kErrorKind, kErrorIcon};
    case FlashFailed:
      return {"\r\n BIOS UPDATE ERROR!!", kErrorKind, kErrorIcon};
    case TransferNotStarted:
      return {kNotStartedText, kErrorKind, kErrorIcon};
    default:
      // No text of its own (ChunkNotWordAligned and anything unknown): the
      // box still says ERROR, and never that the drive was updated.
      return {"\r\n", kErrorKind, kErrorIcon};
  }
}
