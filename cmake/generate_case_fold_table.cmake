# Writes the rows of the simple case folding table of src/common/case_fold.cpp:
#   cmake -DINPUT=CaseFolding.txt -DOUTPUT=case_fold_table.inc -P generate_case_fold_table.cmake
# One row "{0xFROM, 0xTO}," per mapping of status C or S (simple folding; F is the full folding
# that changes lengths, T the Turkic variant), in ascending order, Basic Multilingual Plane only:
# NTFS compares names one UTF-16 unit at a time, so a surrogate pair never folds there.
if(NOT INPUT OR NOT OUTPUT)
  message(FATAL_ERROR "usage: cmake -DINPUT=CaseFolding.txt -DOUTPUT=FILE -P ${CMAKE_CURRENT_LIST_FILE}")
endif()
if(NOT EXISTS "${INPUT}")
  message(FATAL_ERROR "${INPUT} is missing (Debian package unicode-data)")
endif()

file(STRINGS "${INPUT}" version LIMIT_COUNT 1)
string(REGEX REPLACE "^# *" "" version "${version}")
file(STRINGS "${INPUT}" lines REGEX "^[0-9A-F]+; [CS]; ")
set(rows "")
set(count 0)
set(previous -1)
foreach(line IN LISTS lines)
  if(NOT line MATCHES "^([0-9A-F]+); [CS]; ([0-9A-F]+); #")
    message(FATAL_ERROR "${INPUT}: unexpected line: ${line}")
  endif()
  set(from ${CMAKE_MATCH_1})
  set(to ${CMAKE_MATCH_2})
  string(LENGTH "${from}" from_digits)
  string(LENGTH "${to}" to_digits)
  if(from_digits GREATER 4)
    continue() # beyond the BMP
  endif()
  if(NOT from_digits EQUAL 4 OR NOT to_digits EQUAL 4)
    message(FATAL_ERROR "${INPUT}: a BMP character folds outside the BMP, or a code is not "
      "written in four digits: ${line}")
  endif()
  math(EXPR value "0x${from}")
  if(NOT value GREATER previous)
    message(FATAL_ERROR "${INPUT}: not in ascending order at: ${line}")
  endif()
  set(previous ${value})
  string(APPEND rows "{0x${from}, 0x${to}},\n")
  math(EXPR count "${count} + 1")
endforeach()
if(count LESS 1000)
  message(FATAL_ERROR "${INPUT}: only ${count} simple foldings in the BMP; is it CaseFolding.txt?")
endif()

set(text "// Generated from ${INPUT} (${version}) by generate_case_fold_table.cmake: do not edit.\n")
string(APPEND text "// ${count} simple case foldings (status C and S) of the Basic Multilingual Plane.\n")
string(APPEND text "${rows}")
file(WRITE "${OUTPUT}" "${text}")
