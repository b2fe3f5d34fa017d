# Turns the STRINGTABLE of a Windows resource script into a C++ source that
# registers the same texts with the POSIX platform's LoadStringA.
#   cmake -DRC=<file.rc> -DOUT=<file.cpp> -P StringTable.cmake
file(STRINGS "${RC}" lines)
set(body "")
set(inside FALSE)
foreach(line IN LISTS lines)
    if(line MATCHES "^[ \t]*BEGIN")
        set(inside TRUE)
    elseif(line MATCHES "^[ \t]*END")
        set(inside FALSE)
    elseif(inside AND line MATCHES "^[ \t]*([0-9]+)[ \t,]+\"(.*)\"[ \t]*$")
        set(id "${CMAKE_MATCH_1}")
        set(text "${CMAKE_MATCH_2}")
        # A resource script writes a quote inside a text as two quotes.
        string(REPLACE "\"\"" "\\\"" text "${text}")
        string(APPEND body "    {${id}, \"${text}\"},\n")
    endif()
endforeach()
file(WRITE "${OUT}.tmp"
"// Generated from ${RC}; do not edit.\n#include \"platform/win32.h\"\n\nnamespace {\nconst vplat::StringResource kStrings[] = {\n${body}};\nstruct Registrar {\n    Registrar() { vplat::RegisterStringTable(kStrings, sizeof(kStrings) / sizeof(kStrings[0])); }\n} gRegistrar;\n} // namespace\n")
execute_process(COMMAND ${CMAKE_COMMAND} -E copy_if_different "${OUT}.tmp" "${OUT}")
file(REMOVE "${OUT}.tmp")
