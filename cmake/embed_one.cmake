# Writes OUTPUT, a C++ file defining one string_view per file of INPUTS.
# Bytes are written as hex escapes so that no content can end the literal.
set(body "// Generated at build time from the asset files; do not edit.\n#include <string_view>\nnamespace tarn::assets {\n")
string(REPLACE "|" ";" INPUTS "${INPUTS}")
foreach(input IN LISTS INPUTS)
  get_filename_component(name ${input} NAME)
  string(MAKE_C_IDENTIFIER ${name} ident)
  file(READ ${input} hex HEX)
  string(LENGTH "${hex}" hex_len)
  math(EXPR size "${hex_len} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "\\\\x\\1" escaped "${hex}")
  # Break the literal into lines so that compilers and editors cope.
  string(REGEX REPLACE "((\\\\x[0-9a-f][0-9a-f]){32})" "\\1\"\n\"" escaped "${escaped}")
  string(APPEND body "extern const std::string_view ${ident};\nconst std::string_view ${ident}{\"${escaped}\", ${size}};\n")
endforeach()
string(APPEND body "}  // namespace tarn::assets\n")
file(WRITE ${OUTPUT} "${body}")
