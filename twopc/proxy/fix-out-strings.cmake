# Corrects widl's (7.x) -Oif output for [out, string] pointers such as `[out, string]
# LPWSTR *ppName` or `[out, string, size_is(,n)] LPWSTR **pp`: it describes the parameter
# by what the reference pointer points to instead of by the reference pointer itself, so
# rpcrt4 unmarshals into its own copy of the argument and the caller gets NULL. Each such
# parameter is pointed at its reference pointer, as every other [out] pointer is.
# Usage: cmake -DFILE=opcda_p.c -P fix-out-strings.cmake
file(READ "${FILE}" content)
set(reference_pointer "/\\* ([0-9]+) \\(LPWSTR \\*\\*?\\) \\*/\n[ \t]*0x11, 0x14,[^\n]*\n[ \t]*NdrFcShort\\(0x2\\),[^\n]*\n")
# A string: the reference pointer points at it. An array of strings: at a unique pointer
# just before the array.
set(string_pattern "${reference_pointer}/\\* ([0-9]+) \\(LPWSTR\\) \\*/")
set(array_pattern "${reference_pointer}/\\* [0-9]+ \\(LPWSTR \\*\\) \\*/\n[ \t]*0x13, 0x0,[^\n]*\n[^\n]*\n/\\* ([0-9]+) \\(LPWSTR \\*\\) \\*/")
set(fixed 0)
foreach(pattern IN ITEMS "${string_pattern}" "${array_pattern}")
  string(REGEX MATCHALL "${pattern}" found "${content}")
  foreach(match IN LISTS found)
    string(REGEX MATCH "${pattern}" unused "${match}")
    set(reference ${CMAKE_MATCH_1})
    set(target ${CMAKE_MATCH_2})
    math(EXPR reference_hex "${reference}" OUTPUT_FORMAT HEXADECIMAL)
    math(EXPR target_hex "${target}" OUTPUT_FORMAT HEXADECIMAL)
    string(REGEX REPLACE
           "(srv size=[0-9]+ \\*/\n[ \t]*NdrFcShort\\(0x[0-9a-f]+\\),[ \t]*/\\* stack offset = [0-9]+ \\*/\n[ \t]*)NdrFcShort\\(${target_hex}\\),([ \t]*)/\\* type offset = ${target} \\*/"
           "\\1NdrFcShort(${reference_hex}),\\2/* type offset = ${reference} */" patched "${content}")
    if(NOT patched STREQUAL content)
      math(EXPR fixed "${fixed} + 1")
    endif()
    set(content "${patched}")
  endforeach()
endforeach()
if(fixed EQUAL 0)
  message(FATAL_ERROR "no [out, string] pointer found in ${FILE}: has widl's output changed?")
endif()
file(WRITE "${FILE}" "${content}")
