# Copyright 2026 The Talvimer Authors
# SPDX-License-Identifier: MIT
cmake_minimum_required(VERSION 3.25)

# Installs the build into a fresh DESTDIR under /usr and checks that exactly the expected files
# land there and that they refer to one another correctly: the desktop entry's program and icon,
# the metainfo's launchable, binary, release and screenshot.
#
#   cmake -DBUILD_DIR=... -DWORK_DIR=... -DAPP_ID=... -DVERSION=... -DAPPSTREAMCLI=...
#         -P check_install_tree.cmake
foreach(var IN ITEMS BUILD_DIR WORK_DIR APP_ID VERSION APPSTREAMCLI)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "${var} must be given with -D")
  endif()
endforeach()

# A fixed place, emptied first, so a failed run leaves its tree to look at and the next run
# starts clean.
set(destdir "${WORK_DIR}/install-test-root")
file(REMOVE_RECURSE "${destdir}")

function(fail)
  string(JOIN "" text ${ARGV})
  message(FATAL_ERROR "${text}\n(the installed tree is kept in ${destdir})")
endfunction()

execute_process(
  COMMAND ${CMAKE_COMMAND} -E env "DESTDIR=${destdir}"
          ${CMAKE_COMMAND} --install "${BUILD_DIR}" --prefix /usr
  RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(NOT result EQUAL 0)
  fail("cmake --install failed (${result}):\n${output}")
endif()

# The usual hicolor sizes, kept here rather than taken from the build so that dropping one there
# shows up.
set(ICON_SIZES 16 22 24 32 48 64 128 256)
set(expected
    usr/bin/talvimer
    usr/share/applications/${APP_ID}.desktop
    usr/share/doc/talvimer/copyright
    usr/share/icons/hicolor/scalable/apps/talvimer.svg
    usr/share/metainfo/${APP_ID}.metainfo.xml
    usr/share/talvimer/screenshot.png)
foreach(size IN LISTS ICON_SIZES)
  list(APPEND expected usr/share/icons/hicolor/${size}x${size}/apps/talvimer.png)
endforeach()

# Everything installed goes into the Debian package, so a stray file is as wrong as a missing one.
file(GLOB_RECURSE installed LIST_DIRECTORIES false RELATIVE "${destdir}" "${destdir}/*")
set(missing ${expected})
list(REMOVE_ITEM missing ${installed})
set(unexpected ${installed})
list(REMOVE_ITEM unexpected ${expected})
if(missing OR unexpected)
  list(JOIN missing "\n  " missing_text)
  list(JOIN unexpected "\n  " unexpected_text)
  fail("The installed files differ from the list in packaging/tests/check_install_tree.cmake.\n"
       "Missing:\n  ${missing_text}\nNot expected:\n  ${unexpected_text}")
endif()

set(root "${destdir}/usr")

execute_process(COMMAND test -x "${root}/bin/talvimer" RESULT_VARIABLE not_executable)
file(READ "${root}/bin/talvimer" magic LIMIT 4 HEX)
if(NOT not_executable EQUAL 0 OR NOT magic STREQUAL "7f454c46")
  fail("bin/talvimer is not an executable ELF file")
endif()

# Gives the width and height stored in a PNG's header, failing for anything that is not a PNG.
function(read_png_size path out_width out_height)
  file(READ "${path}" header LIMIT 24 HEX)
  string(SUBSTRING "${header}" 0 16 signature)
  if(NOT signature STREQUAL "89504e470d0a1a0a")
    fail("${path} is not a PNG file")
  endif()
  string(SUBSTRING "${header}" 32 8 width_hex)
  string(SUBSTRING "${header}" 40 8 height_hex)
  math(EXPR width "0x${width_hex}")
  math(EXPR height "0x${height_hex}")
  set(${out_width} ${width} PARENT_SCOPE)
  set(${out_height} ${height} PARENT_SCOPE)
endfunction()

foreach(size IN LISTS ICON_SIZES)
  read_png_size("${root}/share/icons/hicolor/${size}x${size}/apps/talvimer.png" width height)
  if(NOT width EQUAL size OR NOT height EQUAL size)
    fail("The ${size}x${size} icon is ${width}x${height} pixels")
  endif()
endforeach()

# Gives the value of a key in the desktop entry's main group, as in "Exec=talvimer" -> talvimer.
file(STRINGS "${root}/share/applications/${APP_ID}.desktop" desktop_lines)
function(desktop_value key out)
  foreach(line IN LISTS desktop_lines)
    if(line MATCHES "^${key}=(.*)$")
      set(${out} "${CMAKE_MATCH_1}" PARENT_SCOPE)
      return()
    endif()
  endforeach()
  fail("The desktop entry has no ${key} key")
endfunction()

desktop_value(Exec exec)
string(REGEX REPLACE " .*" "" program "${exec}")
if(NOT EXISTS "${root}/bin/${program}")
  fail("The desktop entry starts '${program}', which is not installed in bin/")
endif()
desktop_value(Icon icon)
foreach(size IN LISTS ICON_SIZES)
  if(NOT EXISTS "${root}/share/icons/hicolor/${size}x${size}/apps/${icon}.png")
    fail("The desktop entry's icon '${icon}' has no ${size}x${size} picture")
  endif()
endforeach()
if(NOT EXISTS "${root}/share/icons/hicolor/scalable/apps/${icon}.svg")
  fail("The desktop entry's icon '${icon}' has no scalable picture")
endif()

file(READ "${root}/share/metainfo/${APP_ID}.metainfo.xml" metainfo)
foreach(needed IN ITEMS
        "<id>${APP_ID}</id>"
        "<launchable type=\"desktop-id\">${APP_ID}.desktop</launchable>"
        "<binary>${program}</binary>"
        "<release version=\"${VERSION}\"")
  string(FIND "${metainfo}" "${needed}" at)
  if(at EQUAL -1)
    fail("The metainfo lacks ${needed}; a new version needs a new <release> entry")
  endif()
endforeach()

# The metainfo states the screenshot's size; it must still be the size of the picture shipped.
if(NOT metainfo MATCHES "<image type=\"source\" width=\"([0-9]+)\" height=\"([0-9]+)\">[^<]*/screenshot\\.png<")
  fail("The metainfo has no source image for screenshot.png with its width and height")
endif()
set(stated "${CMAKE_MATCH_1}x${CMAKE_MATCH_2}")
read_png_size("${root}/share/talvimer/screenshot.png" width height)
if(NOT stated STREQUAL "${width}x${height}")
  fail("The metainfo says the screenshot is ${stated} pixels, but it is ${width}x${height}")
endif()

# AppStream's own look at the installed tree: metainfo, desktop entry and icons together.
execute_process(
  COMMAND ${CMAKE_COMMAND} -E env LC_ALL=C ${APPSTREAMCLI} validate-tree --no-net "${destdir}"
  RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(NOT result EQUAL 0 OR NOT output MATCHES "Validation was successful\\.")
  fail("appstreamcli validate-tree found problems (${result}):\n${output}")
endif()

file(REMOVE_RECURSE "${destdir}")
list(LENGTH expected count)
message(STATUS "The install tree holds the ${count} expected files")
