# The floors and what each may include (cmake -DFW_ROOT=<tree> -P this file).
# Fails, naming every offending line, when
#  - a file includes a project header of a folder above its own floor;
#  - a portable file (no _win32/_linux in its name, in a folder that is not
#    one OS's own) includes an OS header (<....h>) or an OS edge's header;
#  - a file of one OS includes a header of the other.
# Floors, lowest first (docs/ARCHITECTURE.md):
#   base          nothing of the project
#   scsi          base
#   drive         base scsi
#   ui            base scsi drive res          (the Windows dialogs)
#   app           base scsi drive ui res       (ui: only from app's _win32 files)
#   cli           base scsi drive app          (the Linux terminal program)
#   sim           base                         (the simulated drive)
#   sim/wnaspi32  sim base, scsi/aspi_win32.h  (the ASPI library's own layout)
#   sim/sgio      sim base
#   sim/tcmu      sim base
#   tools         base                         (host tools, Linux)
cmake_minimum_required(VERSION 3.20)
if(NOT FW_ROOT)
  message(FATAL_ERROR "check_layers: pass -DFW_ROOT=<source tree>")
endif()

set(ALLOWED_base "")
set(ALLOWED_scsi "base")
set(ALLOWED_drive "base;scsi")
set(ALLOWED_ui "base;scsi;drive;res")
set(ALLOWED_app "base;scsi;drive;ui;res")
set(ALLOWED_cli "base;scsi;drive;app")
set(ALLOWED_sim "base")
set(ALLOWED_sim/wnaspi32 "sim;base")
set(ALLOWED_sim/sgio "sim;base")
set(ALLOWED_sim/tcmu "sim;base")
set(ALLOWED_tools "base")
# Single headers a folder may use beyond its floors: the layout it serves.
set(EXTRA_sim/wnaspi32 "scsi/aspi_win32.h")
# Folders that are one OS's own as a whole.
set(OS_ui win32)
set(OS_cli linux)
set(OS_sim/sgio linux)
set(OS_sim/tcmu linux)
set(OS_sim/wnaspi32 win32)
set(OS_tools linux)

set(problems "")
file(GLOB_RECURSE files RELATIVE ${FW_ROOT}
     ${FW_ROOT}/base/* ${FW_ROOT}/scsi/* ${FW_ROOT}/drive/* ${FW_ROOT}/ui/* ${FW_ROOT}/app/*
     ${FW_ROOT}/cli/* ${FW_ROOT}/sim/* ${FW_ROOT}/tools/*)
list(FILTER files INCLUDE REGEX "\\.(cpp|h|c)$")
foreach(file ${files})
  get_filename_component(folder ${file} DIRECTORY)
  get_filename_component(name ${file} NAME_WE)
  string(REGEX MATCH "^[a-z]+" top ${folder})
  set(own ${folder})
  if(NOT DEFINED ALLOWED_${own})
    set(own ${top})
  endif()
  set(allowed ${ALLOWED_${own}} ${own} ${top})
  set(extra ${EXTRA_${own}})
  # The file's OS: its name, else its folder's; none means portable.
  set(os "")
  if(name MATCHES "_win32$")
    set(os win32)
  elseif(name MATCHES "_linux$")
    set(os linux)
  elseif(DEFINED OS_${own})
    set(os ${OS_${own}})
  endif()

  file(STRINGS ${FW_ROOT}/${file} includes REGEX "^[ \t]*#[ \t]*include[ \t]*[<\"]")
  foreach(line ${includes})
    string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*[<\"]([^>\"]+)[>\"].*$" "\\1" header "${line}")
    set(quoted FALSE)
    if(line MATCHES "include[ \t]*\"")
      set(quoted TRUE)
    endif()
    if(quoted AND header MATCHES "^([a-z]+)/")
      string(REGEX MATCH "^.*/" header_dir ${header})
      string(REGEX REPLACE "/$" "" header_dir ${header_dir})
      string(REGEX MATCH "^[a-z]+" header_top ${header})
      if(NOT header_dir IN_LIST allowed AND NOT header_top IN_LIST allowed AND NOT header IN_LIST extra)
        string(APPEND problems "  ${file}: includes ${header}, above its floor (${own} may include: ${ALLOWED_${own}})\n")
      endif()
      if(header MATCHES "_(win32|linux)\\.h$")
        set(header_os ${CMAKE_MATCH_1})
        if(os STREQUAL "")
          string(APPEND problems "  ${file}: portable, includes the OS edge's ${header}\n")
        elseif(NOT os STREQUAL header_os)
          string(APPEND problems "  ${file}: ${os} file includes ${header}\n")
        endif()
      endif()
      if(header MATCHES "^ui/" AND NOT os STREQUAL "win32")
        string(APPEND problems "  ${file}: includes the Windows dialogs' ${header} without being a Windows file\n")
      endif()
    elseif(NOT quoted AND header MATCHES "\\.h$" AND os STREQUAL "")
      string(APPEND problems "  ${file}: portable, includes the OS header <${header}> (name it _win32 or _linux)\n")
    endif()
  endforeach()
endforeach()

if(problems)
  message(FATAL_ERROR "check_layers: includes that break the floors:\n${problems}")
endif()
