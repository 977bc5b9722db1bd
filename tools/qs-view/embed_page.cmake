# Writes OUTPUT, a C++ source defining QSView::PageText() from the bytes of
# INPUT (run with cmake -P at build time).
file(READ "${INPUT}" bytes HEX)
string(LENGTH "${bytes}" hex_length)
math(EXPR length "${hex_length} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," bytes "${bytes}")
string(REGEX REPLACE "(([^,]*,){16})" "\\1\n" bytes "${bytes}")
file(WRITE "${OUTPUT}.tmp"
  "// Generated from page.html by embed_page.cmake.\n"
  "#include \"tools/qs-view/page.h\"\n\n"
  "namespace QSView {\n\n"
  "namespace {\nconst char Page[] = {\n${bytes}\n};\n}  // namespace\n\n"
  "std::string PageText() { return std::string(Page, ${length}); }\n\n"
  "}  // namespace QSView\n")
file(RENAME "${OUTPUT}.tmp" "${OUTPUT}")
