# Writes OUTPUT, a C++ file that holds each of FILES as a string constant named after the file
# (page.html gives qor::resolve::page::page_html), for the page the resolve server sends.
#   cmake -DOUTPUT=<file.cc> "-DFILES=<file>;<file>..." -P embed.cmake
set(text "// Generated from the page's files by embed.cmake; do not edit.\n")
string(APPEND text "#include \"resolve/page.h\"\n\nnamespace qor::resolve::page {\n\n")
foreach(file IN LISTS FILES)
  get_filename_component(name ${file} NAME)
  string(REPLACE "." "_" name ${name})
  file(READ ${file} content)
  string(FIND "${content}" ")qor_page\"" clash)
  if(NOT clash EQUAL -1)
    message(FATAL_ERROR "${file} holds the raw string's closing sequence")
  endif()
  string(APPEND text "extern const std::string_view ${name} = R\"qor_page(${content})qor_page\";\n")
endforeach()
string(APPEND text "\n}  // namespace qor::resolve::page\n")
file(WRITE ${OUTPUT} "${text}")
