# Copyright 2026 The Talvimer Authors
# SPDX-License-Identifier: MIT
cmake_minimum_required(VERSION 3.25)

# Builds the Debian package from the configured build into a scratch folder and checks its name,
# version, file layout and Depends: the libraries dpkg-shlibdeps finds and the runtime pieces no
# library names. cpack first brings the build up to date, as the package target does.
#
#   cmake -DBUILD_DIR=... -DWORK_DIR=... -DAPP_ID=... -DVERSION=... -P check_deb.cmake
foreach(var IN ITEMS BUILD_DIR WORK_DIR APP_ID VERSION)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "${var} must be given with -D")
  endif()
endforeach()

set(out "${WORK_DIR}/deb-test")
file(REMOVE_RECURSE "${out}")

execute_process(
  COMMAND cpack --config "${BUILD_DIR}/CPackConfig.cmake" -G DEB -B "${out}"
  RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
# CPack reports a missing dpkg-shlibdeps as a warning only, so its words are checked too.
if(NOT result EQUAL 0 OR output MATCHES "CPack Error|CMake Warning|shlibdeps.*not found")
  message(FATAL_ERROR "cpack failed (${result}):\n${output}")
endif()

file(GLOB debs "${out}/*.deb")
list(LENGTH debs count)
if(NOT count EQUAL 1)
  message(FATAL_ERROR "Expected one .deb in ${out}, found ${count}: ${debs}")
endif()

function(deb_field name out_var)
  execute_process(COMMAND dpkg-deb --field "${debs}" "${name}"
                  RESULT_VARIABLE result OUTPUT_VARIABLE value ERROR_VARIABLE error
                  OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "dpkg-deb could not read ${name}: ${error}")
  endif()
  set(${out_var} "${value}" PARENT_SCOPE)
endfunction()

deb_field(Package package)
deb_field(Version version)
if(NOT package STREQUAL "talvimer" OR NOT version STREQUAL "${VERSION}-1")
  message(FATAL_ERROR "The package is ${package} ${version}, not talvimer ${VERSION}-1")
endif()

# "libc6 (>= 2.34), qt6-qpa-plugins" -> libc6;qt6-qpa-plugins
deb_field(Depends depends)
string(REGEX REPLACE " *\\([^)]*\\)" "" names "${depends}")
string(REGEX REPLACE " *, *" ";" names "${names}")
set(needed
    libc6 libstdc++6 libqt6core6 libqt6gui6 libqt6widgets6
    libqt6webenginecore6 libqt6webenginewidgets6
    libqt6webenginecore6-bin libqt6svg6 fonts-noto-cjk)
foreach(name IN LISTS needed)
  if(NOT name IN_LIST names)
    message(FATAL_ERROR "Depends lacks ${name}: ${depends}")
  endif()
endforeach()
set(unique ${names})
list(REMOVE_DUPLICATES unique)
if(NOT unique STREQUAL names)
  message(FATAL_ERROR "Depends names a package twice: ${depends}")
endif()

execute_process(COMMAND dpkg-deb --contents "${debs}"
                RESULT_VARIABLE result OUTPUT_VARIABLE contents ERROR_VARIABLE error)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "dpkg-deb could not list the package: ${error}")
endif()
# Debian packages may not install under /usr/local, and menus look only in the system paths.
if(contents MATCHES " \\./usr/local/" OR contents MATCHES " \\./(opt|home|etc)/")
  message(FATAL_ERROR "The package installs outside /usr:\n${contents}")
endif()
foreach(path IN ITEMS
        ./usr/bin/talvimer
        ./usr/share/applications/${APP_ID}.desktop
        ./usr/share/metainfo/${APP_ID}.metainfo.xml
        ./usr/share/icons/hicolor/scalable/apps/talvimer.svg
        ./usr/share/doc/talvimer/copyright)
  string(FIND "${contents}" " ${path}\n" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "The package lacks ${path}:\n${contents}")
  endif()
endforeach()

file(REMOVE_RECURSE "${out}")
message(STATUS "talvimer ${version}: Depends: ${depends}")
