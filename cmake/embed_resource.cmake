# cmake -DINPUT=file -DOUTPUT=file.cpp -DSYMBOL=name -P embed_resource.cmake
# Writes a C++ source defining tivra::platform::detail::SYMBOL, a span over the file's bytes.
file(READ ${INPUT} _hex HEX)
string(LENGTH "${_hex}" _len)
math(EXPR _size "${_len} / 2")
get_filename_component(_name ${INPUT} NAME)

# 16 bytes a line.
string(REPEAT "[0-9a-f]" 32 _line)
string(REGEX REPLACE "(${_line})" "\\1\n" _hex "${_hex}")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," _bytes "${_hex}")
if(_size EQUAL 0)
  set(_bytes "0")  # a zero-length array is not C++; the span still says 0 bytes
endif()

file(WRITE ${OUTPUT}.tmp
"// Generated from resources/${_name} by cmake/embed_resource.cmake; do not edit.
#include <cstdint>
#include <span>

namespace tivra::platform::detail {
namespace {
constexpr std::uint8_t kBytes[] = {
${_bytes}
};
}  // namespace

extern const std::span<const std::uint8_t> ${SYMBOL};
const std::span<const std::uint8_t> ${SYMBOL}{kBytes, ${_size}};

}  // namespace tivra::platform::detail
")
file(RENAME ${OUTPUT}.tmp ${OUTPUT})
