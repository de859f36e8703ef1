# Built-in resources: each file under resources/ becomes a generated C++ source that holds its
# bytes as the constant span tivra::platform::detail::kResource_<name> (the file name made a C
# identifier: demo.nmea -> kResource_demo_nmea). The conversion runs at build time and only for
# files that changed.
set(TIVRA_EMBED_SCRIPT ${CMAKE_CURRENT_LIST_DIR}/embed_resource.cmake)

function(tivra_embed_resources target dir)
  file(GLOB _files CONFIGURE_DEPENDS LIST_DIRECTORIES false ${dir}/*)
  set(_outputs)
  foreach(_file IN LISTS _files)
    get_filename_component(_name ${_file} NAME)
    string(MAKE_C_IDENTIFIER ${_name} _id)
    set(_out ${CMAKE_BINARY_DIR}/generated/resources/${_id}.cpp)
    add_custom_command(
      OUTPUT ${_out}
      COMMAND ${CMAKE_COMMAND} -DINPUT=${_file} -DOUTPUT=${_out} -DSYMBOL=kResource_${_id}
              -P ${TIVRA_EMBED_SCRIPT}
      DEPENDS ${_file} ${TIVRA_EMBED_SCRIPT}
      COMMENT "Embedding resource ${_name}"
      VERBATIM)
    list(APPEND _outputs ${_out})
  endforeach()
  target_sources(${target} PRIVATE ${_outputs})
endfunction()
