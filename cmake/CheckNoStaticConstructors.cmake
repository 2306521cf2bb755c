cmake_minimum_required(VERSION 3.25)
# Fails when an object file of the firmware image (listed one per line in
# OBJECT_LIST) holds a dynamic initialiser: clang puts a pointer to it in a
# COFF section named .CRT$XCU (or another .CRT$XC* group), and nothing in a
# UEFI image runs those, so the global would silently stay unconstructed.
# Section names of up to eight characters are stored in the section header
# itself, so the name's bytes appear in the file.
file(STRINGS ${OBJECT_LIST} objects)
if(NOT objects)
  message(FATAL_ERROR "${OBJECT_LIST} names no object files")
endif()
# ".CRT$XC" as bytes, each followed by a space, so that a match can only
# start on a byte boundary.
set(crt_bytes "2e 43 52 54 24 58 43 ")
set(offenders "")
foreach(object IN LISTS objects)
  file(READ ${object} hex HEX)
  string(REGEX REPLACE "(..)" "\\1 " bytes "${hex}")
  string(FIND "${bytes}" "${crt_bytes}" at)
  if(at GREATER_EQUAL 0)
    list(APPEND offenders ${object})
  endif()
endforeach()
if(offenders)
  list(JOIN offenders "\n  " text)
  message(FATAL_ERROR "dynamic initialisers (.CRT$XC*), which no UEFI image runs, in:\n  ${text}")
endif()
list(LENGTH objects count)
message(STATUS "${count} object files, none with a dynamic initialiser")
