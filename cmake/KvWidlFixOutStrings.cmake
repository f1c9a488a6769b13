# cmake -DFILE=<x_p.c> -P KvWidlFixOutStrings.cmake
#
# Corrects a fault of Wine 8's widl in -Oicf proxy files. For a top-level [out] or
# [in, out] pointer to a string pointer (LPWSTR *, LPOLESTR *, WCHAR **) whose stub
# allocates the slot itself ("srv size"), widl records the type of the string pointer
# in the parameter, not the [allocated_on_stack] [pointer_deref] reference pointer in
# front of it, as it does for every other pointer to a pointer. Wine's NDR engine then
# unmarshals the string into a local of the proxy and the caller gets NULL. Pointing
# the parameter at the reference pointer (4 bytes earlier) gives the format MIDL writes;
# the wire format does not change.
file(READ "${FILE}" text)
string(REGEX MATCHALL
  "0x11, 0x14,[ \t]+/\\* FC_RP \\[allocated_on_stack\\] \\[pointer_deref\\] \\*/\n[ \t]+NdrFcShort\\(0x2\\),[ \t]+/\\* Offset= 2 \\([0-9]+\\) \\*/\n/\\* [0-9]+ \\([A-Za-z_ ]+\\) \\*/\n[ \t]+0x1[23], 0x8,"
  references "${text}")
set(fixed 0)
foreach(reference IN LISTS references)
  string(REGEX MATCH "Offset= 2 \\(([0-9]+)\\)" _ "${reference}")
  set(target ${CMAKE_MATCH_1})
  math(EXPR outer "${target} - 4")
  math(EXPR outer_hex "${outer}" OUTPUT_FORMAT HEXADECIMAL)
  string(REGEX REPLACE
    "(srv size=[0-9]+ \\*/\n[ \t]+NdrFcShort\\(0x[0-9a-fA-F]+\\),[ \t]+/\\* stack offset = [0-9]+ \\*/\n[ \t]+)NdrFcShort\\(0x[0-9a-fA-F]+\\),([ \t]+)/\\* type offset = ${target} \\*/"
    "\\1NdrFcShort(${outer_hex}),\\2/* type offset = ${outer} (was ${target}: KvWidlFixOutStrings) */"
    text "${text}")
endforeach()
file(WRITE "${FILE}" "${text}")
