cmake_minimum_required(VERSION 3.25)
# Checks that the module under MODULE_DIR includes its EDK II headers (UEFI
# and PI definitions, protocols, GUIDs, library classes) only through HEADER,
# which wraps them in extern "C": the driver is C++, and an EDK II library
# header included anywhere else would declare C++-mangled names that no
# library instance defines, which only an EDK II link shows. Every other
# source may include only files of the module itself, by a quoted name.
#
# With PLANT (a file of the module, relative to MODULE_DIR) the check runs on
# a copy under SCRATCH with an include of BaseLib.h added to that file: the
# test that proves the check catches one.

if(DEFINED PLANT)
  file(REMOVE_RECURSE ${SCRATCH})
  file(COPY ${MODULE_DIR}/ DESTINATION ${SCRATCH})
  file(APPEND ${SCRATCH}/${PLANT} "#include <Library/BaseLib.h>\n")
  set(MODULE_DIR ${SCRATCH})
endif()

file(GLOB_RECURSE sources RELATIVE ${MODULE_DIR} ${MODULE_DIR}/*.cpp ${MODULE_DIR}/*.h)
if(NOT HEADER IN_LIST sources)
  message(FATAL_ERROR "${MODULE_DIR} has no ${HEADER}")
endif()
set(module_names "")
foreach(file IN LISTS sources)
  get_filename_component(name ${file} NAME)
  list(APPEND module_names ${name})
endforeach()

set(errors "")
foreach(file IN LISTS sources)
  file(STRINGS ${MODULE_DIR}/${file} lines)
  set(number 0)
  set(in_c_linkage FALSE)
  foreach(line IN LISTS lines)
    math(EXPR number "${number} + 1")
    if(file STREQUAL HEADER)
      if(line MATCHES "^extern \"C\" {")
        set(in_c_linkage TRUE)
      elseif(line MATCHES "^}")
        set(in_c_linkage FALSE)
      endif()
    endif()
    if(line MATCHES "^[ \t]*#[ \t]*include[ \t]*<([^>]*)>")
      if(NOT file STREQUAL HEADER)
        list(APPEND errors "${file}:${number} includes <${CMAKE_MATCH_1}> directly; EDK II headers come in through ${HEADER}, with C linkage")
      elseif(NOT in_c_linkage)
        list(APPEND errors "${file}:${number} includes <${CMAKE_MATCH_1}> outside its extern \"C\" block")
      endif()
    elseif(line MATCHES "^[ \t]*#[ \t]*include[ \t]*\"([^\"]*)\"")
      get_filename_component(name "${CMAKE_MATCH_1}" NAME)
      if(NOT name IN_LIST module_names)
        list(APPEND errors "${file}:${number} includes \"${CMAKE_MATCH_1}\", which is not a file of the module")
      endif()
    endif()
  endforeach()
endforeach()

if(errors)
  list(JOIN errors "\n  " text)
  message(FATAL_ERROR "${MODULE_DIR}: headers included outside ${HEADER}:\n  ${text}")
endif()
list(LENGTH sources count)
message(STATUS "${MODULE_DIR}: ${count} files include EDK II headers only through ${HEADER}")
