# Writes OUTPUT, a C++ file that holds each of FILES as a byte array: NAMES (one per file, in order) become
# `extern const unsigned char NAME[]` and `extern const std::size_t NAMESize` in namespace pushserver.
# Run at build time: cmake -DOUTPUT=out.cpp "-DFILES=a;b" "-DNAMES=x;y" -P embed.cmake
set(text "// Made by server/embed.cmake from server/page/\n#include <cstddef>\nnamespace pushserver {\n")
list(LENGTH FILES count)
math(EXPR last "${count} - 1")
foreach(i RANGE ${last})
    list(GET FILES ${i} file)
    list(GET NAMES ${i} name)
    file(READ ${file} hex HEX)
    string(LENGTH "${hex}" hex_length)
    math(EXPR byte_count "${hex_length} / 2")
    string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
    string(APPEND text "extern const unsigned char ${name}[] = {${bytes}};\n"
        "extern const std::size_t ${name}Size = ${byte_count};\n")
endforeach()
string(APPEND text "} // namespace pushserver\n")
file(WRITE ${OUTPUT} "${text}")
