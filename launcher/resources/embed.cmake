# Turns a file into a C++ source that defines
#   std::span<const unsigned char> launcher::resources::<FUNCTION>()
# returning the file's bytes, so the program reads no resource file at run time.
# Usage: cmake -DINPUT=<file> -DOUTPUT=<file.cpp> -DFUNCTION=<name> -P embed.cmake
foreach(var INPUT OUTPUT FUNCTION)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "embed.cmake: ${var} is not set")
  endif()
endforeach()

file(READ "${INPUT}" hex HEX)
string(LENGTH "${hex}" hexLength)
if(hexLength EQUAL 0)
  message(FATAL_ERROR "embed.cmake: ${INPUT} is empty")
endif()
# Sixteen bytes to a line keeps the generated source readable in a debugger.
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
string(REGEX REPLACE "((0x..,){16})" "\\1\n    " bytes "${bytes}")

file(WRITE "${OUTPUT}.tmp"
  "// Generated from ${INPUT} by embed.cmake; do not edit.\n"
  "#include \"launcher/resources/resources.h\"\n\n"
  "namespace launcher::resources {\n"
  "namespace {\n"
  "constexpr unsigned char kBytes[] = {\n    ${bytes}\n};\n"
  "}  // namespace\n\n"
  "std::span<const unsigned char> ${FUNCTION}() { return kBytes; }\n\n"
  "}  // namespace launcher::resources\n")
file(RENAME "${OUTPUT}.tmp" "${OUTPUT}")
