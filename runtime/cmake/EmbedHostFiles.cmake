# cmake -DOUTPUT=file.cpp -DFILES="a;b" [-DFUNCTION=Name] -P EmbedHostFiles.cmake
# Writes a C++ source that holds each file as a byte array, found by its file name through the
# function FUNCTION (FindHostFile when none is named), declared in HostFiles.h.
if(NOT FUNCTION)
  set(FUNCTION FindHostFile)
endif()
set(arrays "")
set(table "")
set(index 0)
foreach(file ${FILES})
  get_filename_component(name ${file} NAME)
  file(READ ${file} hex HEX)
  string(LENGTH "${hex}" length)
  math(EXPR size "${length} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  string(APPEND arrays "const unsigned char kFile${index}[] = {${bytes} 0};\n")
  string(APPEND table "    {\"${name}\", kFile${index}, ${size}},\n")
  math(EXPR index "${index} + 1")
endforeach()
file(WRITE ${OUTPUT}.new "// Generated from the runtime's host folder by EmbedHostFiles.cmake.
#include \"HostFiles.h\"

namespace player_runtime {
namespace {
${arrays}
const HostFile kHostFiles[] = {
${table}};
}  // namespace

const HostFile* ${FUNCTION}(std::string_view name) {
  for (const HostFile& file : kHostFiles)
    if (name == file.name) return &file;
  return nullptr;
}

}  // namespace player_runtime
")
file(COPY_FILE ${OUTPUT}.new ${OUTPUT} ONLY_IF_DIFFERENT)
file(REMOVE ${OUTPUT}.new)
