# Installation and packages.
#
#   cmake --install build/linux-release --prefix /usr/local
#       bin/pathwarden and share/man/man1/pathwarden.1
#   cmake --workflow --preset linux-package      (build/packages/pathwarden_<version>-1_<arch>.deb)
#   cmake --workflow --preset windows-package    (build/packages/Pathwarden-<version>-win32.zip)
#
# The version comes from project() alone: it is the package version and, with
# the date of the configure run, the build stamp of the manual page and of the
# Windows README. The program itself has no option to print it.

include(GNUInstallDirs)

# string(TIMESTAMP) follows SOURCE_DATE_EPOCH when it is set, so a rebuild of
# a release can reproduce the stamp.
string(TIMESTAMP PATHWARDEN_BUILD_DATE "%Y-%m-%d" UTC)

set(PATHWARDEN_PACKAGE_MAINTAINER "Pathwarden maintainers <pathwarden@example.org>"
  CACHE STRING "Maintainer field of the Debian package")

set(docs_dir ${CMAKE_CURRENT_LIST_DIR}/../docs)

if(WIN32)
  # The zip is flat: the exe and a text README that Notepad shows as it is.
  install(TARGETS pathwarden RUNTIME DESTINATION .)
  configure_file(${docs_dir}/README-windows.txt.in ${CMAKE_BINARY_DIR}/docs/README.txt
    @ONLY NEWLINE_STYLE CRLF)
  install(FILES ${CMAKE_BINARY_DIR}/docs/README.txt DESTINATION .)
else()
  install(TARGETS pathwarden RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  configure_file(${docs_dir}/pathwarden.1.in ${CMAKE_BINARY_DIR}/docs/pathwarden.1 @ONLY)
  install(FILES ${CMAKE_BINARY_DIR}/docs/pathwarden.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()

set(CPACK_PACKAGE_NAME pathwarden)
set(CPACK_PACKAGE_VENDOR "Pathwarden")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "print every change in a directory tree until a key is pressed")
set(CPACK_PACKAGE_CONTACT ${PATHWARDEN_PACKAGE_MAINTAINER})
set(CPACK_STRIP_FILES ON)
# A build tree holds test binaries, benchmark results and Wine prefixes: a
# source package would sweep them in. Only binary packages are made.
set(CPACK_SOURCE_GENERATOR "")

if(WIN32)
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(windows_flavour win32)
  else()
    set(windows_flavour win64)
  endif()
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME Pathwarden-${PROJECT_VERSION}-${windows_flavour})
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_PACKAGE_NAME pathwarden)
  set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
  # pathwarden_<version>-<release>_<arch>.deb, the name Debian's tools expect.
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  # Depends is worked out by dpkg-shlibdeps from the libraries the binary
  # really links (libc6, libgcc-s1, libstdc++6 with the versions whose
  # symbols it uses), so it stays right whatever the compiler pulls in.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
"Pathwarden watches one directory, and by default every sub-directory below
it, and prints a line for every change until a key is pressed: files and
directories added, removed, modified and renamed, each with its full path.
.
It is the Linux build of a Windows console program and prints the same
report, in fixed columns that scripts can cut. It uses inotify, watches
directories created or moved in at once and lists what they already hold,
and says so with an OVERFLOW line whenever changes were lost.")

  # Debian keeps manual pages compressed; an install from the build tree
  # keeps the plain page. The script runs on CPack's staging tree.
  set(compress_script ${CMAKE_BINARY_DIR}/cpack_compress_man_pages.cmake)
  file(CONFIGURE OUTPUT ${compress_script} @ONLY CONTENT [==[
file(GLOB_RECURSE pages "${CPACK_TEMPORARY_DIRECTORY}/*.[1-9]")
list(FILTER pages INCLUDE REGEX "/man/man[1-9]/[^/]+$")
foreach(page IN LISTS pages)
  execute_process(COMMAND gzip -9n -f "${page}" RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "gzip failed on ${page}")
  endif()
endforeach()
]==])
  set(CPACK_PRE_BUILD_SCRIPTS ${compress_script})
endif()

include(CPack)
