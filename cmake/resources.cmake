# Built-in resources: each file under resources/ becomes a generated C++ source that holds its
# bytes as the constant span tivra::platform::detail::kResource_<name> (the file name made a C
# identifier: demo.nmea -> kResource_demo_nmea). The conversion runs at build time and only for
# files that changed.
set(TIVRA_EMBED_SCRIPT ${CMAKE_CURRENT_LIST_DIR}/embed_resource.cmake)

# One file into target, as kResource_<name>.
function(tivra_embed_file target file)
  get_filename_component(_name ${file} NAME)
  string(MAKE_C_IDENTIFIER ${_name} _id)
  set(_out ${CMAKE_BINARY_DIR}/generated/resources/${_id}.cpp)
  add_custom_command(
    OUTPUT ${_out}
    COMMAND ${CMAKE_COMMAND} -DINPUT=${file} -DOUTPUT=${_out} -DSYMBOL=kResource_${_id}
            -P ${TIVRA_EMBED_SCRIPT}
    DEPENDS ${file} ${TIVRA_EMBED_SCRIPT}
    COMMENT "Embedding resource ${_name}"
    VERBATIM)
  target_sources(${target} PRIVATE ${_out})
endfunction()

function(tivra_embed_resources target dir)
  file(GLOB _files CONFIGURE_DEPENDS LIST_DIRECTORIES false ${dir}/*)
  foreach(_file IN LISTS _files)
    tivra_embed_file(${target} ${_file})
  endforeach()
endfunction()
