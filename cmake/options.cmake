# One interface target carries the compiler options of every Tivra target.
add_library(tivra_options INTERFACE)
target_compile_options(tivra_options INTERFACE -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor)
if(TIVRA_WERROR)
  target_compile_options(tivra_options INTERFACE -Werror)
endif()
target_include_directories(tivra_options INTERFACE ${PROJECT_SOURCE_DIR}/src)

if(TIVRA_BUILD_FUZZ)
  # Coverage instrumentation for everything the fuzz targets reach, not only their own files.
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()

if(TIVRA_SANITIZE)
  string(REPLACE ";" "," _tivra_san "${TIVRA_SANITIZE}")
  # Sanitizers must reach every object, third-party code compiled here included.
  add_compile_options(-fsanitize=${_tivra_san} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${_tivra_san})
endif()

# One static library per source folder; sources are picked up by glob so a new file needs no
# CMake edit.
function(tivra_library name dir)
  file(GLOB _srcs CONFIGURE_DEPENDS ${dir}/*.cpp)
  if(_srcs)
    add_library(${name} STATIC ${_srcs})
    target_link_libraries(${name} PUBLIC tivra_options ${ARGN})
  else()
    add_library(${name} INTERFACE)
    target_link_libraries(${name} INTERFACE tivra_options ${ARGN})
  endif()
endfunction()
