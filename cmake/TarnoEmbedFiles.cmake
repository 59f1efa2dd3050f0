# Writes OUTPUT: a C++ source that defines tarno::web::pageFiles(), every file of DIR (by name,
# sorted) as bytes compiled into the program. Run as `cmake -DDIR=… -DOUTPUT=… -P this-file`.
file(GLOB names RELATIVE ${DIR} ${DIR}/*)
list(SORT names)
set(arrays "")
set(entries "")
set(index 0)
foreach(name ${names})
  if(IS_DIRECTORY ${DIR}/${name})
    continue()
  endif()
  file(READ ${DIR}/${name} hex HEX)
  string(LENGTH "${hex}" digits)
  math(EXPR size "${digits} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," bytes "${hex}")
  string(APPEND arrays "constexpr char file${index}[] = {${bytes} 0};\n")
  string(APPEND entries "    PageFile{\"${name}\", std::string_view(file${index}, ${size})},\n")
  math(EXPR index "${index} + 1")
endforeach()
file(WRITE ${OUTPUT}
  "// Generated from src/web/page by cmake/TarnoEmbedFiles.cmake: do not edit.\n"
  "#include \"tarno/web/page_files.hpp\"\n\n"
  "namespace tarno::web {\nnamespace {\n${arrays}\n"
  "constexpr PageFile files[] = {\n${entries}};\n}  // namespace\n\n"
  "std::span<const PageFile> pageFiles() {\n  return files;\n}\n\n}  // namespace tarno::web\n")
