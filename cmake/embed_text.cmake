# Writes a C++ source that holds a text file as a string constant:
#   cmake -DINPUT=file -DOUTPUT=file.cpp -DSYMBOL=name -P embed_text.cmake
# The bytes are written as hexadecimal character codes, so that any content
# survives unchanged.
file(READ "${INPUT}" content HEX)
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," bytes "${content}")
file(WRITE "${OUTPUT}"
  "// Generated from ${INPUT}; do not edit.\n"
  "#include <string_view>\n"
  "namespace nodrix::embedded {\n"
  "static const char ${SYMBOL}_bytes[] = {${bytes}};\n"
  "extern const std::string_view ${SYMBOL}(${SYMBOL}_bytes, sizeof ${SYMBOL}_bytes);\n"
  "}  // namespace nodrix::embedded\n")
