# Installing fwupdate-linux, and its Debian package (cpack -G DEB).
# Included at the end of cmake/native.cmake, once fwupdate-linux-release
# exists. What is installed is the program as it ships (release/, optimised,
# never with sanitizers), its man page, its bash completion and its papers;
# nothing else of the tree has an install rule.
#
#   cmake --build B --target fwupdate-linux-release fwupdate-linux-docs
#   sudo cmake --install B                     # under CMAKE_INSTALL_PREFIX
#   cpack -G DEB --config B/CPackConfig.cmake  # fwupdate-linux_VERSION_amd64.deb
#
# Installing and packaging do not build the whole tree first (its tests, the
# simulated drives, the sanitizer builds): build the two targets above.
include(GNUInstallDirs)

set(FW_DIST_DIR ${CMAKE_SOURCE_DIR}/cli/dist)
set(FW_PACKAGE_NAME fwupdate-linux)
set(FW_DEB_MAINTAINER "fwupdate maintainers <maintainers@users.noreply.c-seed-959143bb.example>"
    CACHE STRING "Maintainer field of the Debian package: Name <address>")
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY TRUE)

# The package's version: the program's own (FW_FILE_VERSION of version.h),
# so that --version and the package agree; 1.0.0 when it defines none.
set(FW_PACKAGE_VERSION 1.0.0)
foreach(header ${CMAKE_SOURCE_DIR}/base/version.h ${CMAKE_SOURCE_DIR}/app/version.h)
  if(EXISTS ${header})
    file(STRINGS ${header} FW_VERSION_LINE
         REGEX "^#define[ \t]+FW_FILE_VERSION[ \t]+\"[0-9][0-9A-Za-z.+~]*\"")
    if(FW_VERSION_LINE MATCHES "\"([^\"]+)\"")
      set(FW_PACKAGE_VERSION ${CMAKE_MATCH_1})
    endif()
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${header})
    break()
  endif()
endforeach()

# The papers Debian wants compressed: the man page and the changelog, made
# in the build tree with gzip -9n (no name, no time stamp: the same bytes on
# every build).
find_program(FW_GZIP gzip REQUIRED)
set(FW_DOCS_DIR ${CMAKE_BINARY_DIR}/dist)
set(FW_CHANGELOG ${FW_DOCS_DIR}/changelog)
string(TIMESTAMP FW_CHANGELOG_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
file(MAKE_DIRECTORY ${FW_DOCS_DIR})
# Written only when the version changes, so the date stays that of the
# version's first build.
if(NOT EXISTS ${FW_CHANGELOG} OR NOT FW_CHANGELOG_VERSION STREQUAL FW_PACKAGE_VERSION)
  file(WRITE ${FW_CHANGELOG}
       "${FW_PACKAGE_NAME} (${FW_PACKAGE_VERSION}) unstable; urgency=medium\n\n"
       "  * fwupdate-linux ${FW_PACKAGE_VERSION}: see the project's history for the changes.\n\n"
       " -- ${FW_DEB_MAINTAINER}  ${FW_CHANGELOG_DATE}\n")
  set(FW_CHANGELOG_VERSION ${FW_PACKAGE_VERSION} CACHE INTERNAL "version of the written changelog")
endif()
add_custom_command(OUTPUT ${FW_DOCS_DIR}/fwupdate-linux.1.gz
                   COMMAND ${FW_GZIP} -9n -c ${FW_DIST_DIR}/fwupdate-linux.1 > ${FW_DOCS_DIR}/fwupdate-linux.1.gz
                   DEPENDS ${FW_DIST_DIR}/fwupdate-linux.1
                   COMMENT "Compressing the man page fwupdate-linux(1)" VERBATIM)
add_custom_command(OUTPUT ${FW_DOCS_DIR}/changelog.gz
                   COMMAND ${FW_GZIP} -9n -c ${FW_CHANGELOG} > ${FW_DOCS_DIR}/changelog.gz
                   DEPENDS ${FW_CHANGELOG}
                   COMMENT "Compressing the package's changelog" VERBATIM)
add_custom_target(fwupdate-linux-docs ALL
                  DEPENDS ${FW_DOCS_DIR}/fwupdate-linux.1.gz ${FW_DOCS_DIR}/changelog.gz)

# What is installed, under CMAKE_INSTALL_PREFIX (/usr in the package).
set(FW_DOC_DEST ${CMAKE_INSTALL_DATAROOTDIR}/doc/${FW_PACKAGE_NAME})
install(TARGETS fwupdate-linux-release RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${FW_DOCS_DIR}/fwupdate-linux.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${FW_DIST_DIR}/fwupdate-linux.bash-completion
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/bash-completion/completions RENAME fwupdate-linux)
install(FILES ${FW_DIST_DIR}/copyright ${FW_DOCS_DIR}/changelog.gz DESTINATION ${FW_DOC_DEST})
# The udev rule is an example, never in effect by itself: it would let every
# member of the group cdrom rewrite the drives' firmware. The administrator
# who wants that copies it to /etc/udev/rules.d.
install(FILES ${FW_DIST_DIR}/60-fwupdate-linux.rules DESTINATION ${FW_DOC_DEST}/examples)

# The Debian package.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${FW_PACKAGE_NAME})
set(CPACK_PACKAGE_VERSION ${FW_PACKAGE_VERSION})
set(CPACK_PACKAGE_VENDOR "fwupdate")
set(CPACK_PACKAGE_CONTACT "${FW_DEB_MAINTAINER}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "firmware updater for ATAPI CD-ROM/RW drives")
set(CPACK_PACKAGE_DESCRIPTION
    "fwupdate-linux flashes new firmware into an ATAPI CD-ROM/RW drive from a
Linux terminal. It reads the firmware images carried by a vendor's updater
file, finds the drives through the kernel's SCSI generic driver, checks the
image against the drive's model and, once the user has said yes, writes it
into the drive's buffer piece by piece, reads every piece back and has the
drive program its flash.

While the drive is being flashed the program holds it exclusively, holds the
signals that would end it and, where logind runs, keeps the machine from
sleeping or shutting down.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_NAME ${FW_PACKAGE_NAME})
set(CPACK_DEBIAN_PACKAGE_VERSION ${FW_PACKAGE_VERSION})
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${FW_DEB_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# libsystemd is opened only when present (the shutdown and sleep inhibitor):
# without it the update still runs.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "libsystemd0")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "sg3-utils")
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS OFF)
# Data files 0644, folders 0755, whatever the umask of the build.
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS ${CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS})
include(CPack)
