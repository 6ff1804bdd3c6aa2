// The program's name and version, for both programs: the Windows version
// record (res/version.rc) and the Linux program's --version are made from
// these, so the caption "Firmware Update Ver 1.94" has one source.
// Plain macros: the resource compiler reads this file too.
#pragma once

#define FW_FILE_DESCRIPTION "Firmware Update"
#define FW_PRODUCT_VERSION "Ver 1.94"
#define FW_FILE_VERSION "1.94"
#define FW_VERSION_NUMBERS 1, 94, 0, 0
