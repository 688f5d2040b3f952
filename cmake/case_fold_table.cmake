# The simple case folding table of src/common/case_fold.cpp, generated from the Unicode
# Character Database's CaseFolding.txt (Debian package unicode-data) instead of being kept as a
# copy in this repository. The generator is a CMake script run by the host's cmake, so the
# Windows cross-build makes the same table without running anything it built.
#
#   tavrel_add_case_fold_table(TARGET): generates case_fold_table.inc into the build directory
#   and lets TARGET's sources include it.

set(TAVREL_CASE_FOLDING_FILE /usr/share/unicode/CaseFolding.txt CACHE FILEPATH
    "CaseFolding.txt of the Unicode Character Database (Debian package unicode-data)")

set(tavrel_case_fold_generator ${CMAKE_CURRENT_LIST_DIR}/generate_case_fold_table.cmake)

function(tavrel_add_case_fold_table target)
  if(NOT EXISTS "${TAVREL_CASE_FOLDING_FILE}")
    message(FATAL_ERROR "${TAVREL_CASE_FOLDING_FILE} is missing: the case folding table of file "
      "names is generated from it. Install the Debian package unicode-data "
      "(scripts/install-deps), or point -DTAVREL_CASE_FOLDING_FILE=... at a CaseFolding.txt.")
  endif()
  set(directory ${CMAKE_CURRENT_BINARY_DIR}/generated)
  set(output ${directory}/case_fold_table.inc)
  add_custom_command(
    OUTPUT ${output}
    COMMAND ${CMAKE_COMMAND} -DINPUT=${TAVREL_CASE_FOLDING_FILE} -DOUTPUT=${output}
            -P ${tavrel_case_fold_generator}
    DEPENDS ${TAVREL_CASE_FOLDING_FILE} ${tavrel_case_fold_generator}
    COMMENT "Generating the case folding table from ${TAVREL_CASE_FOLDING_FILE}"
    VERBATIM)
  target_sources(${target} PRIVATE ${output})
  target_include_directories(${target} PRIVATE ${directory})
endfunction()
