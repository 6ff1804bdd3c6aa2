#include "ui/progress_run.h"

uint8_t RunTransferWithProgress() { return RunTransferWithProgress(&RunTransfer); }
