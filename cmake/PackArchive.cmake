# Packs every file under SOURCE_DIR into one archive of the program's own
# format and writes it as a C++ source defining its bytes (SYMBOL) and their
# count (SYMBOL + "Size"), in namespace host.
#
# The format, little-endian, offsets from the archive's first byte:
#   "SAr" 0x00 | u32 version (1) | u32 count |
#   count x (u32 name offset, u32 name length, u32 data offset, u32 data length) |
#   the names (UTF-8, '/' between folders) | the data
#
# With RESOURCES set, the files are the program's resources instead: each is
# named "TYPE/NAME", upper case, NAME the file name without its extension and
# TYPE the extension, or 23 (HTML) for none, .html and .htm.
#
#   cmake -DSOURCE_DIR=dir -DOUTPUT=file.cpp -DSYMBOL=kUiArchive [-DRESOURCES=1] -P PackArchive.cmake
cmake_minimum_required(VERSION 3.18)

# `value` as four little-endian bytes in hex.
function(le32 value out)
  math(EXPR hex "${value}" OUTPUT_FORMAT HEXADECIMAL)
  string(SUBSTRING "${hex}" 2 -1 hex)
  string(LENGTH "${hex}" n)
  while(n LESS 8)
    string(PREPEND hex "0")
    math(EXPR n "${n} + 1")
  endwhile()
  string(SUBSTRING "${hex}" 6 2 b0)
  string(SUBSTRING "${hex}" 4 2 b1)
  string(SUBSTRING "${hex}" 2 2 b2)
  string(SUBSTRING "${hex}" 0 2 b3)
  set(${out} "${b0}${b1}${b2}${b3}" PARENT_SCOPE)
endfunction()

file(GLOB_RECURSE files LIST_DIRECTORIES false RELATIVE "${SOURCE_DIR}" "${SOURCE_DIR}/*")
# Editors' leftovers are no part of the program.
list(FILTER files EXCLUDE REGEX "(^|/)(\\.|#)|~$")
list(SORT files COMPARE STRING CASE SENSITIVE)
list(LENGTH files count)

set(names "")
set(datas "")
set(entries "")
set(nameLengths "")
set(dataLengths "")
foreach(f IN LISTS files)
  set(name "${f}")
  if(RESOURCES)
    get_filename_component(stem "${f}" NAME_WLE)
    get_filename_component(ext "${f}" LAST_EXT)
    string(TOUPPER "${stem}" stem)
    string(TOUPPER "${ext}" ext)
    if(ext STREQUAL "" OR ext STREQUAL ".HTML" OR ext STREQUAL ".HTM")
      set(type "23")
    else()
      string(SUBSTRING "${ext}" 1 -1 type)
    endif()
    set(name "${type}/${stem}")
  endif()
  string(HEX "${name}" nameHex)
  file(READ "${SOURCE_DIR}/${f}" dataHex HEX)
  string(LENGTH "${nameHex}" nl)
  string(LENGTH "${dataHex}" dl)
  math(EXPR nl "${nl} / 2")
  math(EXPR dl "${dl} / 2")
  list(APPEND nameLengths ${nl})
  list(APPEND dataLengths ${dl})
  string(APPEND names "${nameHex}")
  string(APPEND datas "${dataHex}")
endforeach()

math(EXPR nameAt "12 + 16 * ${count}")
set(namesTotal 0)
foreach(nl IN LISTS nameLengths)
  math(EXPR namesTotal "${namesTotal} + ${nl}")
endforeach()
math(EXPR dataAt "${nameAt} + ${namesTotal}")

set(table "")
if(count GREATER 0)
  math(EXPR last "${count} - 1")
  foreach(i RANGE ${last})
    list(GET nameLengths ${i} nl)
    list(GET dataLengths ${i} dl)
    le32(${nameAt} a)
    le32(${nl} b)
    le32(${dataAt} c)
    le32(${dl} d)
    string(APPEND table "${a}${b}${c}${d}")
    math(EXPR nameAt "${nameAt} + ${nl}")
    math(EXPR dataAt "${dataAt} + ${dl}")
  endforeach()
endif()

le32(1 version)
le32(${count} countHex)
set(all "53417200${version}${countHex}${table}${names}${datas}")
string(LENGTH "${all}" size)
math(EXPR size "${size} / 2")
# Sixteen bytes a line.
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${all}")
string(REPEAT "0x..," 16 line)
string(REGEX REPLACE "(${line})" "\\1\n" bytes "${bytes}")

file(WRITE "${OUTPUT}.tmp"
  "// Made by PackArchive.cmake from ${count} files: do not edit.\n"
  "#include <cstddef>\n\n"
  "namespace host {\n"
  "extern const unsigned char ${SYMBOL}[] = {\n${bytes}\n};\n"
  "extern const std::size_t ${SYMBOL}Size = ${size};\n"
  "}  // namespace host\n")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
