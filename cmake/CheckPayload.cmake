# Checks a payload folder before its files are embedded in the executable:
# each of the ten files must exist and begin with the signature of its format,
# the compound-file signature D0 CF 11 E0 A1 B1 1A E1 for a Windows Installer
# database (.msi) and the letters "MSCF" for a cabinet (.cab).
#
# Two ways to use it:
#
#   include(CheckPayload.cmake)
#   qmb_check_payload(<folder> <var>)
#       Sets <var> to a description of every problem found, one line per file,
#       or to the empty text when the folder is usable. QMB_PAYLOAD_FILES lists
#       the ten file names.
#
#   cmake -DPAYLOAD_DIR=<folder> [-DSTAMP=<file>] -P CheckPayload.cmake
#       Fails with the same description when the folder is not usable.
#       Otherwise, when STAMP is given, writes into it each file's path, size
#       and modification time, and rewrites it only when one of them changed.
#       A build that runs the check every time and depends on the stamp thus
#       embeds the payload again after any change to it, including a file
#       replaced by one with an older time (moved in, or unpacked with its
#       times kept), which a comparison of times alone would miss.

if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
  cmake_minimum_required(VERSION 3.25)
endif()

set(QMB_PAYLOAD_FILES
  qmb1.6.0_39.msi
  ss160390.cab st160390.cab sj160390.cab sp160390.cab sz160390.cab sb160390.cab sr160390.cab
  au.cab au.msi
)

# Compound file (Windows Installer database) and cabinet signatures, as hex.
set(_QMB_MSI_SIGNATURE "d0cf11e0a1b11ae1")
set(_QMB_CAB_SIGNATURE "4d534346")

# "d0cf11" -> "D0 CF 11"
function(_qmb_spaced_hex hex out)
  string(TOUPPER "${hex}" hex)
  string(REGEX REPLACE "(..)" "\\1 " hex "${hex}")
  string(STRIP "${hex}" hex)
  set(${out} "${hex}" PARENT_SCOPE)
endfunction()

function(qmb_check_payload folder out)
  set(problems "")
  foreach(name IN LISTS QMB_PAYLOAD_FILES)
    set(path "${folder}/${name}")
    if(NOT EXISTS "${path}")
      string(APPEND problems "  ${path}: missing\n")
      continue()
    endif()
    if(IS_DIRECTORY "${path}")
      string(APPEND problems "  ${path}: a folder, not a file\n")
      continue()
    endif()
    if(name MATCHES "\\.msi$")
      set(signature "${_QMB_MSI_SIGNATURE}")
      set(kind "a Windows Installer database")
      set(wanted "D0 CF 11 E0 A1 B1 1A E1")
    else()
      set(signature "${_QMB_CAB_SIGNATURE}")
      set(kind "a cabinet")
      set(wanted "\"MSCF\" (4D 53 43 46)")
    endif()
    string(LENGTH "${signature}" digits)
    math(EXPR bytes "${digits} / 2")
    file(SIZE "${path}" size)
    file(READ "${path}" head LIMIT ${bytes} HEX)
    _qmb_spaced_hex("${head}" found)
    if(size EQUAL 0)
      string(APPEND problems "  ${path}: empty, not ${kind} (which begins with ${wanted})\n")
    elseif(size LESS bytes)
      string(APPEND problems "  ${path}: only ${size} bytes long (${found}), "
                             "not ${kind} (which begins with ${wanted})\n")
    elseif(NOT "${head}" STREQUAL "${signature}")
      string(APPEND problems "  ${path}: not ${kind}: it begins with ${found} "
                             "instead of ${wanted}\n")
    endif()
  endforeach()
  set(${out} "${problems}" PARENT_SCOPE)
endfunction()

# The text of the failure for a folder with problems.
function(qmb_payload_failure_message folder problems out)
  set(${out} "The payload folder ${folder} cannot be embedded:\n${problems}"
      PARENT_SCOPE)
endfunction()

if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
  if(NOT DEFINED PAYLOAD_DIR OR PAYLOAD_DIR STREQUAL "")
    message(FATAL_ERROR "CheckPayload.cmake: give the folder as -DPAYLOAD_DIR=<folder>")
  endif()
  qmb_check_payload("${PAYLOAD_DIR}" problems)
  if(NOT "${problems}" STREQUAL "")
    qmb_payload_failure_message("${PAYLOAD_DIR}" "${problems}" text)
    message(FATAL_ERROR "${text}")
  endif()
  if(DEFINED STAMP)
    set(fingerprint "")
    foreach(name IN LISTS QMB_PAYLOAD_FILES)
      set(path "${PAYLOAD_DIR}/${name}")
      file(SIZE "${path}" size)
      file(TIMESTAMP "${path}" time "%Y-%m-%dT%H:%M:%S.%f" UTC)
      string(APPEND fingerprint "${path} ${size} ${time}\n")
    endforeach()
    set(previous "")
    if(EXISTS "${STAMP}")
      file(READ "${STAMP}" previous)
    endif()
    if(NOT "${fingerprint}" STREQUAL "${previous}")
      file(WRITE "${STAMP}" "${fingerprint}")
    endif()
  endif()
endif()
