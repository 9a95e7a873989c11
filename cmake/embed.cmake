# Writes OUTPUT, a C++ source defining the bytes of INPUT as mdn::kFtabJson.
file(READ ${INPUT} content HEX)
string(LENGTH "${content}" hex_length)
math(EXPR byte_count "${hex_length} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${content}")
file(WRITE ${OUTPUT}
  "#include <cstddef>\n"
  "namespace mdn {\n"
  "extern const unsigned char kFtabJson[];\n"
  "extern const std::size_t kFtabJsonSize;\n"
  "alignas(8) const unsigned char kFtabJson[] = {${bytes} 0x00};\n"
  "const std::size_t kFtabJsonSize = ${byte_count};\n"
  "}\n")
