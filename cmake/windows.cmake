# Windows build (i686, or x86_64 for 64-bit Wine): the program, the simulated
# ASPI library, Wine tests. The toolchain file chooses the processor; the
# shipped program and the libraries beside it are built for the same one.
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(FW_WINDOWS_PROCESSOR x86_64)
  set(FW_WINEARCH win64)
else()
  set(FW_WINDOWS_PROCESSOR i686)
  set(FW_WINEARCH win32)
endif()
add_compile_definitions(WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0501 WINVER=0x0501)

# The Windows edges of the floors, the dialogs (ui/) and the application
# object (app/*_win32.cpp), each linked with what lies below it.
file(GLOB UI_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/ui/*.cpp)
set(WIN_SYSTEM_LIBS version comctl32 comdlg32 gdi32 user32 advapi32 kernel32)
fw_floor(fwbase_win SOURCES ${base_WIN} DEPENDS fwbase kernel32)
fw_floor(fwscsi_win SOURCES ${scsi_WIN} DEPENDS fwscsi fwbase_win fwbase kernel32)
fw_floor(fwui SOURCES ${UI_SOURCES} DEPENDS fwdrive fwscsi_win fwscsi fwbase_win fwbase ${WIN_SYSTEM_LIBS})
fw_floor(fwapp_win SOURCES ${app_WIN} DEPENDS fwapp fwui fwdrive fwscsi_win fwscsi fwbase_win fwbase ${WIN_SYSTEM_LIBS})
add_library(fwwin INTERFACE)
target_link_libraries(fwwin INTERFACE fwapp_win fwui fwscsi_win fwbase_win)

# Resources: res/*.rc; generated icons land in ${CMAKE_BINARY_DIR}/generated.
set(GEN_DIR ${CMAKE_BINARY_DIR}/generated)
file(MAKE_DIRECTORY ${GEN_DIR})
file(GLOB RC_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/res/*.rc)
set(RC_DEPENDS "")
if(EXISTS ${CMAKE_SOURCE_DIR}/tools/mkicons.py)
  set(ICON_FILES ${GEN_DIR}/icon128.ico ${GEN_DIR}/icon139.ico ${GEN_DIR}/icon140.ico ${GEN_DIR}/icon141.ico)
  find_package(Python3 REQUIRED COMPONENTS Interpreter)
  add_custom_command(OUTPUT ${ICON_FILES}
    COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/tools/mkicons.py ${GEN_DIR}
    DEPENDS ${CMAKE_SOURCE_DIR}/tools/mkicons.py
    COMMENT "Drawing the program's icons")
  add_custom_target(icons DEPENDS ${ICON_FILES})
  set(RC_DEPENDS ${ICON_FILES})
endif()
set(CMAKE_RC_FLAGS "${CMAKE_RC_FLAGS} -I${GEN_DIR} -I${CMAKE_SOURCE_DIR} -I${CMAKE_SOURCE_DIR}/res")
foreach(rc ${RC_SOURCES})
  set_source_files_properties(${rc} PROPERTIES OBJECT_DEPENDS "${RC_DEPENDS}")
endforeach()

# The program image, without payload. FW_PROGRAM_ONLY builds just the program
# (the shipped build, win32 threading model); the test build gets its
# fwupdate.exe from that build, so every test runs the program that ships.
option(FW_PROGRAM_ONLY "Build only fwupdate.exe" OFF)
if(FW_PROGRAM_ONLY)
  add_executable(fwupdate WIN32 ${MAIN_SOURCES} ${RC_SOURCES})
  target_link_libraries(fwupdate PRIVATE fwwin fwcore)
  set_target_properties(fwupdate PROPERTIES OUTPUT_NAME fwupdate)
  return()
endif()

include(ExternalProject)
set(SHIP_DIR ${CMAKE_BINARY_DIR}/ship)
ExternalProject_Add(fwupdate_ship
  SOURCE_DIR ${CMAKE_SOURCE_DIR}
  BINARY_DIR ${SHIP_DIR}
  CMAKE_ARGS -DCMAKE_TOOLCHAIN_FILE=${CMAKE_SOURCE_DIR}/cmake/mingw-${FW_WINDOWS_PROCESSOR}-win32.cmake
             -DCMAKE_BUILD_TYPE=Release -DFW_PROGRAM_ONLY=ON
  BUILD_COMMAND ${CMAKE_COMMAND} --build ${SHIP_DIR} --target fwupdate
  BUILD_BYPRODUCTS ${SHIP_DIR}/fwupdate.exe
  INSTALL_COMMAND ""
  BUILD_ALWAYS ON)
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/fwupdate.exe
  COMMAND ${CMAKE_COMMAND} -E copy_if_different ${SHIP_DIR}/fwupdate.exe ${CMAKE_BINARY_DIR}/fwupdate.exe
  DEPENDS fwupdate_ship ${SHIP_DIR}/fwupdate.exe)
add_custom_target(fwupdate ALL DEPENDS ${CMAKE_BINARY_DIR}/fwupdate.exe)

# The simulated drive as an ASPI for Win32 library (sim/wnaspi32/).
file(GLOB ASPI_SIM_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/sim/wnaspi32/*.cpp ${CMAKE_SOURCE_DIR}/sim/wnaspi32/*.def)
if(ASPI_SIM_SOURCES)
  add_library(wnaspi32 SHARED ${ASPI_SIM_SOURCES})
  target_link_libraries(wnaspi32 PRIVATE fwsim)
  set_target_properties(wnaspi32 PROPERTIES PREFIX "" OUTPUT_NAME WNASPI32 SUFFIX ".DLL")
endif()

# The simulated drive as SCSI generic devices for Wine's pass-through
# (sim/sgio/): an LD_PRELOAD library built by the host compiler for the
# architecture of the Wine that runs the build's programs. LD_PRELOAD names
# it through ld.so's $LIB (SGIO_PRELOAD), which each process resolves to its
# own library folder.
#  - i686: the library is built with -m32 for 32-bit Wine; 64-bit processes of
#    a test run (shells, tools, the 64-bit wineserver) find an empty library
#    of their own instead of refusing the 32-bit one with a message each.
#  - x86_64: 64-bit Wine and every other process of the run are 64-bit: one
#    library, no stand-in (and no 32-bit compiler needed). A 32-bit process
#    would say that it ignores the missing library, which is the truth.
set(SGIO_DIR ${CMAKE_BINARY_DIR}/sgio)
set(SGIO_PRELOAD "${SGIO_DIR}/$LIB/libfwsimsg.so")
if(FW_WINDOWS_PROCESSOR STREQUAL "x86_64")
  set(SGIO_LIBDIR ${SGIO_DIR}/lib/x86_64-linux-gnu)
  set(SGIO_FLAGS "")
else()
  set(SGIO_LIBDIR ${SGIO_DIR}/lib/i386-linux-gnu)
  set(SGIO_FLAGS -m32)
endif()
ExternalProject_Add(fwsimsg_build
  SOURCE_DIR ${CMAKE_SOURCE_DIR}/sim/sgio
  BINARY_DIR ${SGIO_DIR}/build
  CMAKE_ARGS -DCMAKE_CXX_COMPILER=g++ -DCMAKE_CXX_FLAGS=${SGIO_FLAGS} -DCMAKE_BUILD_TYPE=Release
             -DCMAKE_LIBRARY_OUTPUT_DIRECTORY=${SGIO_LIBDIR}
  BUILD_BYPRODUCTS ${SGIO_LIBDIR}/libfwsimsg.so
  INSTALL_COMMAND ""
  BUILD_ALWAYS ON)
if(FW_WINDOWS_PROCESSOR STREQUAL "x86_64")
  add_custom_target(fwsimsg ALL DEPENDS fwsimsg_build)
else()
  set(SGIO_LIB64 ${SGIO_DIR}/lib/x86_64-linux-gnu/libfwsimsg.so)
  add_custom_command(OUTPUT ${SGIO_LIB64}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${SGIO_DIR}/lib/x86_64-linux-gnu
    COMMAND gcc -shared -o ${SGIO_LIB64} -x c /dev/null
    COMMENT "Empty 64-bit stand-in of the SG_IO preload library")
  add_custom_target(fwsimsg ALL DEPENDS fwsimsg_build ${SGIO_LIB64})
endif()

# The preload library and the simulated drive's library carry nothing of the
# product.
add_test(NAME preload_symbols_test COMMAND bash ${CMAKE_SOURCE_DIR}/tests/tools/preload_symbols_test.sh ${CMAKE_BINARY_DIR})
set_tests_properties(preload_symbols_test PROPERTIES TIMEOUT 120)

# GoogleTest from source, for the Wine tests.
set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

set(WINE_PREFIX ${CMAKE_BINARY_DIR}/wineprefix)
set(WINE_RUN ${CMAKE_SOURCE_DIR}/scripts/wine-run)

# Registers one test executable as one ctest test run under Wine (of the
# build's architecture: WINEARCH). They share one desktop and the program's
# named mutex, so they run one at a time.
function(add_wine_test name)
  add_test(NAME ${name} COMMAND ${WINE_RUN} $<TARGET_FILE:${name}> --gtest_brief=1)
  set_tests_properties(${name} PROPERTIES
    ENVIRONMENT "WINEPREFIX=${WINE_PREFIX};WINEARCH=${FW_WINEARCH};FW_SOURCE_DIR=${CMAKE_SOURCE_DIR};FW_BUILD_DIR=${CMAKE_BINARY_DIR}"
    TIMEOUT 900 RESOURCE_LOCK wine_desktop ${ARGN})
endfunction()

# A whole-program suite runs once per transport: <suite>_e2e as Windows 98
# through the simulated WNASPI32.DLL, <suite>_e2e_nt on Wine's NT platform
# through the pass-through, whose SG_IO requests the preload library answers.
function(add_e2e_test name)
  add_test(NAME ${name} COMMAND ${WINE_RUN} $<TARGET_FILE:${name}> --gtest_brief=1)
  add_test(NAME ${name}_nt COMMAND ${WINE_RUN} $<TARGET_FILE:${name}> --gtest_brief=1)
  set(common "WINEPREFIX=${WINE_PREFIX};WINEARCH=${FW_WINEARCH};FW_SOURCE_DIR=${CMAKE_SOURCE_DIR};FW_BUILD_DIR=${CMAKE_BINARY_DIR}")
  set_tests_properties(${name} PROPERTIES ENVIRONMENT "${common};FW_E2E_TRANSPORT=aspi"
    TIMEOUT 900 RESOURCE_LOCK wine_desktop)
  set_tests_properties(${name}_nt PROPERTIES ENVIRONMENT "${common};FW_E2E_TRANSPORT=nt;LD_PRELOAD=${SGIO_PRELOAD}"
    TIMEOUT 900 RESOURCE_LOCK wine_desktop)
endfunction()

# Test support (tests/support/): the simulated drives plugged into the
# product's dispatcher, for the unit suites.
file(GLOB TEST_SUPPORT_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/support/*.cpp)
add_library(fwtestsupport STATIC ${TEST_SUPPORT_SOURCES})
target_link_libraries(fwtestsupport PUBLIC fwsim fwcore)
target_compile_options(fwtestsupport PRIVATE ${WARN})

# Windows unit tests under Wine: each folder tests/win/<suite>/ is one executable.
file(GLOB WIN_SUITES LIST_DIRECTORIES true ${CMAKE_SOURCE_DIR}/tests/win/*)
foreach(dir ${WIN_SUITES})
  if(IS_DIRECTORY ${dir})
    get_filename_component(suite ${dir} NAME)
    file(GLOB suite_sources CONFIGURE_DEPENDS ${dir}/*.cpp)
    if(suite_sources)
      add_executable(${suite}_wintests ${suite_sources})
      target_link_libraries(${suite}_wintests PRIVATE fwwin fwtestsupport fwsim fwcore gtest gmock gtest_main)
      target_compile_options(${suite}_wintests PRIVATE ${WARN})
      add_wine_test(${suite}_wintests)
    endif()
  endif()
endforeach()

file(GLOB HARNESS_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/harness/*.cpp)
if(HARNESS_SOURCES)
  add_library(winharness STATIC ${HARNESS_SOURCES})
  target_include_directories(winharness PUBLIC ${CMAKE_SOURCE_DIR})
  target_link_libraries(winharness PUBLIC fwcore user32 gdi32 kernel32 advapi32)
endif()

# Whole-program tests: the real packed program, one at a time (named mutex).
# Each folder tests/e2e/<suite>/ is one executable, linked with the harness.
file(GLOB E2E_SUITES LIST_DIRECTORIES true ${CMAKE_SOURCE_DIR}/tests/e2e/*)
foreach(dir ${E2E_SUITES})
  if(IS_DIRECTORY ${dir} AND HARNESS_SOURCES)
    get_filename_component(suite ${dir} NAME)
    file(GLOB suite_sources CONFIGURE_DEPENDS ${dir}/*.cpp)
    if(suite_sources)
      add_executable(${suite}_e2e ${suite_sources})
      target_link_libraries(${suite}_e2e PRIVATE winharness fwcore gtest gtest_main)
      add_dependencies(${suite}_e2e fwupdate fwsimsg)
      if(TARGET wnaspi32)
        add_dependencies(${suite}_e2e wnaspi32)
      endif()
      add_e2e_test(${suite}_e2e)
    endif()
  endif()
endforeach()

# The click-through of the guest checks (tests/vm/windows_program_checks.sh)
# and of `scripts/demo --guest`: drives the program's windows under the
# guest's Wine. Run by those scripts, not by ctest here.
if(HARNESS_SOURCES)
  add_executable(vm_clickthrough ${CMAKE_SOURCE_DIR}/tests/vm/clickthrough.cpp)
  target_link_libraries(vm_clickthrough PRIVATE winharness fwcore)
  target_compile_options(vm_clickthrough PRIVATE ${WARN})
  add_dependencies(vm_clickthrough fwupdate)
endif()
