# Writes OUTPUT, a C++ source with each file of FILES as a string constant
# named after it (index.html -> kIndexHtml), so that the server needs nothing
# from the disk at run time.
set(text "// Generated from web/page by web/embed.cmake.\n#include \"web/Assets.h\"\n\nnamespace pello::web {\n\n")
foreach(file IN LISTS FILES)
  get_filename_component(name "${file}" NAME)
  string(REGEX REPLACE "[^A-Za-z0-9]" "_" symbol "${name}")
  file(READ "${file}" content)
  string(APPEND text "const char* const k_${symbol} = R\"PELLO(${content})PELLO\";\n")
endforeach()
string(APPEND text "\n} // namespace pello::web\n")
file(WRITE "${OUTPUT}" "${text}")
