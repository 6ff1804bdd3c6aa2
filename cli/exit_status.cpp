#include "cli/exit_status.h"

int ExitStatusFor(RunEnding ending, bool confirmed) {
  switch (ending) {
    case RunEnding::Updated: return confirmed ? 0 : kExitNotConfirmed;
    case RunEnding::NothingToDo: return 0;
    case RunEnding::NoDrive: return 3;
    case RunEnding::NoPermission: return 4;
    case RunEnding::DriveNotNamed: return 5;
    case RunEnding::CannotOpen: return 6;
    case RunEnding::ReadFailed: return 7;
    case RunEnding::Damaged: return 8;
    case RunEnding::ModelMismatch: return 9;
    case RunEnding::DosOnly: return 10;
    case RunEnding::Declined: return 11;
    case RunEnding::ChoiceNeeded: return 12;
    case RunEnding::SplitFailed: return 13;
    case RunEnding::CompareError: return 20;
    case RunEnding::BufferWriteError: return 21;
    case RunEnding::BufferReadError: return 22;
    case RunEnding::FlashError: return 23;
    case RunEnding::TransferError: return 24;
  }
  return 1;
}
