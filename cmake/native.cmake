# Native Linux build: portable core, simulated drive, unit tests, host tools.
# The sanitizers are for the test build alone (scripts/test and scripts/demo
# ask for them): a build made to be installed must never carry them, so the
# default build is without.
option(FW_SANITIZE "Build with AddressSanitizer and UBSan (test builds only; never for installing)" OFF)
if(FW_SANITIZE)
  set(SAN_FLAGS -fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
  foreach(t fwbase fwscsi fwdrive fwapp fwsim)
    target_compile_options(${t} PUBLIC ${SAN_FLAGS})
    target_link_options(${t} PUBLIC ${SAN_FLAGS})
  endforeach()
endif()

# Test support (tests/support/): the simulated drives plugged into the
# product's dispatcher, for the unit suites and the benchmarks.
file(GLOB TEST_SUPPORT_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/support/*.cpp)
add_library(fwtestsupport STATIC ${TEST_SUPPORT_SOURCES})
target_link_libraries(fwtestsupport PUBLIC fwsim fwcore)
target_compile_options(fwtestsupport PRIVATE ${WARN})

# The simulated drive behind Linux SG_IO (sim/sgio/): its service core.
add_library(fwsgio STATIC ${CMAKE_SOURCE_DIR}/sim/sgio/sgio_service.cpp)
target_link_libraries(fwsgio PUBLIC fwsim)
target_compile_options(fwsgio PRIVATE ${WARN})

find_package(GTest REQUIRED)
find_package(Threads REQUIRED)

# Linux edge: the SG_IO transport, sysfs discovery and the terminal's seams.
fw_floor(fwbase_linux SOURCES ${base_LINUX} DEPENDS fwbase)
fw_floor(fwscsi_linux SOURCES ${scsi_LINUX} DEPENDS fwscsi fwbase_linux fwbase ${CMAKE_DL_LIBS})
add_library(fwlinux INTERFACE)
target_link_libraries(fwlinux INTERFACE fwscsi_linux fwbase_linux)

# The Linux program: its terminal front end (cli/) on the shared run.
find_path(CLI11_INCLUDE_DIR CLI/CLI.hpp REQUIRED)
file(GLOB CLI_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/cli/*.cpp)
list(FILTER CLI_SOURCES EXCLUDE REGEX "/main_linux\\.cpp$")
add_library(fwcli STATIC ${CLI_SOURCES})
target_link_libraries(fwcli PUBLIC fwapp fwdrive fwscsi_linux fwscsi fwbase_linux fwbase)
target_compile_options(fwcli PRIVATE ${WARN})
add_executable(fwupdate-linux ${CMAKE_SOURCE_DIR}/cli/main_linux.cpp)
target_include_directories(fwupdate-linux PRIVATE ${CLI11_INCLUDE_DIR})
target_link_libraries(fwupdate-linux PRIVATE fwcli fwlinux fwcore)
target_compile_options(fwupdate-linux PRIVATE ${WARN})
# The program as it ships: optimised, without sanitizers whatever FW_SANITIZE
# says, built from the same sources (release/fwupdate-linux). The tests run
# the build above (checked when FW_SANITIZE is on); the guest's timing runs
# this one.
add_executable(fwupdate-linux-release ${CMAKE_SOURCE_DIR}/cli/main_linux.cpp ${CLI_SOURCES} ${LINUX_SOURCES} ${CORE_SOURCES})
target_include_directories(fwupdate-linux-release PRIVATE ${CMAKE_SOURCE_DIR} ${CLI11_INCLUDE_DIR})
target_link_libraries(fwupdate-linux-release PRIVATE ${CMAKE_DL_LIBS})
target_compile_options(fwupdate-linux-release PRIVATE ${WARN} -O2)
target_compile_definitions(fwupdate-linux-release PRIVATE NDEBUG _FORTIFY_SOURCE=2)
target_link_options(fwupdate-linux-release PRIVATE -Wl,-z,relro,-z,now)
set_target_properties(fwupdate-linux-release PROPERTIES OUTPUT_NAME fwupdate-linux
                      RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/release)

# The simulated drives as SCSI generic devices of a native program: the SG_IO
# preload library (sim/sgio/), built by its own project for this machine's
# architecture, from the simulated drive alone, without sanitizers (it is
# loaded into programs that may carry none): libfwsim_sgio.so here.
set(FWSIMSG_OWN_RUNTIME OFF)
add_subdirectory(${CMAKE_SOURCE_DIR}/sim/sgio ${CMAKE_BINARY_DIR}/sgio)
set_target_properties(fwsimsg PROPERTIES OUTPUT_NAME fwsim_sgio LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})

# Native unit tests: each folder tests/native/<suite>/ is one test executable.
file(GLOB NATIVE_SUITES LIST_DIRECTORIES true ${CMAKE_SOURCE_DIR}/tests/native/*)
foreach(dir ${NATIVE_SUITES})
  if(IS_DIRECTORY ${dir})
    get_filename_component(suite ${dir} NAME)
    file(GLOB suite_sources CONFIGURE_DEPENDS ${dir}/*.cpp)
    if(suite_sources)
      add_executable(${suite}_tests ${suite_sources})
      target_link_libraries(${suite}_tests PRIVATE fwcli fwlinux fwsgio fwtestsupport fwsim fwcore GTest::gtest GTest::gmock GTest::gtest_main Threads::Threads)
      target_compile_options(${suite}_tests PRIVATE ${WARN})
      add_test(NAME ${suite}_tests COMMAND ${suite}_tests --gtest_brief=1)
      set_tests_properties(${suite}_tests PROPERTIES
        ENVIRONMENT "FW_SOURCE_DIR=${CMAKE_SOURCE_DIR};FW_BUILD_DIR=${CMAKE_BINARY_DIR}" TIMEOUT 300)
    endif()
  endif()
endforeach()

# Two threads' requests at once on two nodes, for the preload's own test
# (tests/linux/preload_test.sh).
add_executable(sg_pair ${CMAKE_SOURCE_DIR}/tests/linux/sg_pair.c)
target_link_libraries(sg_pair PRIVATE Threads::Threads)
target_compile_options(sg_pair PRIVATE ${WARN})

# Whole-program tests of fwupdate-linux against the simulated drives.
file(GLOB LINUX_PROGRAM_TESTS CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/linux/*_test.sh)
foreach(script ${LINUX_PROGRAM_TESTS})
  get_filename_component(name ${script} NAME_WE)
  add_test(NAME linux_${name} COMMAND bash ${script} ${CMAKE_BINARY_DIR})
  # Alone: they keep a core busy for minutes, which upsets the timing checks
  # of the tests beside them (the debug window's append cost, start to
  # question), and their own start-up timing wants a quiet machine too.
  set_tests_properties(linux_${name} PROPERTIES TIMEOUT 600 RUN_SERIAL TRUE
                       ENVIRONMENT "FW_SOURCE_DIR=${CMAKE_SOURCE_DIR}")
endforeach()

# Host tools.
file(GLOB TOOL_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tools/*.cpp)
foreach(src ${TOOL_SOURCES})
  get_filename_component(name ${src} NAME_WE)
  add_executable(${name} ${src})
  target_link_libraries(${name} PRIVATE fwcore)
  target_compile_options(${name} PRIVATE ${WARN})
endforeach()
file(GLOB TOOL_TESTS CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/tools/*.sh)
foreach(script ${TOOL_TESTS})
  get_filename_component(name ${script} NAME_WE)
  add_test(NAME ${name} COMMAND bash ${script} ${CMAKE_BINARY_DIR})
  set_tests_properties(${name} PROPERTIES TIMEOUT 120)
endforeach()

# Fuzz targets (clang's libFuzzer): each runs briefly as a test.
if(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  file(GLOB FUZZ_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/fuzz/*_fuzz.cpp)
  foreach(src ${FUZZ_SOURCES})
    get_filename_component(name ${src} NAME_WE)
    add_executable(${name} ${src})
    target_link_libraries(${name} PRIVATE fwcore)
    target_compile_options(${name} PRIVATE -fsanitize=fuzzer)
    target_link_options(${name} PRIVATE -fsanitize=fuzzer)
    add_test(NAME ${name} COMMAND ${name} -max_total_time=10 -rss_limit_mb=2048)
    set_tests_properties(${name} PROPERTIES TIMEOUT 120)
  endforeach()
endif()

# Benchmarks: built, never part of the test run's verdict.
find_package(benchmark QUIET)
file(GLOB BENCH_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/bench/*.cpp)
if(benchmark_FOUND AND BENCH_SOURCES)
  add_executable(benchmarks ${BENCH_SOURCES})
  target_link_libraries(benchmarks PRIVATE fwtestsupport fwsim fwcore benchmark::benchmark benchmark::benchmark_main)
endif()

# The simulated drives as kernel SCSI devices: a handler for the Linux
# target's user-space backstores (run inside the test guest, scripts/vmtest).
file(GLOB TCMU_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/sim/tcmu/*.cpp)
set(TCMU_LIB_SOURCES ${TCMU_SOURCES})
list(FILTER TCMU_LIB_SOURCES EXCLUDE REGEX "_main\\.cpp$")
list(APPEND TCMU_LIB_SOURCES ${CMAKE_SOURCE_DIR}/sim/tcmu/tcmu_abi_check.c)
add_library(fwsim_tcmu STATIC ${TCMU_LIB_SOURCES})
target_link_libraries(fwsim_tcmu PUBLIC fwsim)
target_compile_options(fwsim_tcmu PRIVATE ${WARN})
target_link_libraries(tcmu_tests PRIVATE fwsim_tcmu)
# The handler itself runs in the guest, where its speed is part of what the
# guest tests measure: optimised and without sanitizers (its ring code runs
# under them in tcmu_tests).
add_library(fwsim_guest STATIC ${TCMU_LIB_SOURCES} ${SIM_SOURCES})
target_include_directories(fwsim_guest PUBLIC ${CMAKE_SOURCE_DIR})
target_compile_options(fwsim_guest PRIVATE -O2 ${WARN})
add_executable(fwsim-tcmu ${CMAKE_SOURCE_DIR}/sim/tcmu/tcmu_main.cpp)
target_link_libraries(fwsim-tcmu PRIVATE fwsim_guest)
target_compile_options(fwsim-tcmu PRIVATE -O2 ${WARN})

# Guest tests: the simulated drives behind a real kernel's SCSI stack, in a
# QEMU guest (scripts/vmtest). Each test boots one guest, which keeps a core
# busy: guests run alone, so that neither they nor the timing checks of the
# other tests measure each other's load.
add_executable(sgio_loop ${CMAKE_SOURCE_DIR}/tests/vm/sgio_loop.c)
target_compile_options(sgio_loop PRIVATE ${WARN})
file(GLOB VM_TESTS CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/vm/*_checks.sh)
foreach(script ${VM_TESTS})
  get_filename_component(name ${script} NAME_WE)
  string(REGEX REPLACE "_checks$" "" name ${name})
  set(config ${CMAKE_SOURCE_DIR}/tests/vm/${name}.cfg)
  set(config_args)
  if(EXISTS ${config})
    set(config_args --config ${config})
  endif()
  add_test(NAME vm_${name}
           COMMAND ${CMAKE_SOURCE_DIR}/scripts/vmtest --build ${CMAKE_BINARY_DIR} ${config_args}
                   --out ${CMAKE_BINARY_DIR}/../vm/${name} --timeout 280 ${script})
  set_tests_properties(vm_${name} PROPERTIES TIMEOUT 300 RUN_SERIAL TRUE)
endforeach()
add_test(NAME vmtest_args COMMAND bash ${CMAKE_SOURCE_DIR}/tests/vm/vmtest_args_test.sh)
set_tests_properties(vmtest_args PROPERTIES TIMEOUT 60)
add_test(NAME fwsim_tcmu_cli COMMAND bash ${CMAKE_SOURCE_DIR}/tests/vm/handler_cli_test.sh ${CMAKE_BINARY_DIR})
set_tests_properties(fwsim_tcmu_cli PROPERTIES TIMEOUT 60)

# Installing and packaging (cmake --install, cpack): the program as it ships.
include(${CMAKE_SOURCE_DIR}/cmake/install.cmake)
