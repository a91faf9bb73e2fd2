# Compiles text files (the HTML report's style sheet and script) into the
# program as std::string_view constants named after the file: style.css
# becomes tarn::assets::style_css.
set(TARN_EMBED_SCRIPT ${CMAKE_CURRENT_LIST_DIR}/embed_one.cmake)

function(embed_text_assets out_var)
  set(generated ${CMAKE_BINARY_DIR}/generated/assets.cpp)
  # A list passed through the command line needs another separator than ';'.
  string(REPLACE ";" "|" inputs "${ARGN}")
  add_custom_command(
    OUTPUT ${generated}
    COMMAND ${CMAKE_COMMAND} -DOUTPUT=${generated} "-DINPUTS=${inputs}" -P ${TARN_EMBED_SCRIPT}
    DEPENDS ${ARGN} ${TARN_EMBED_SCRIPT}
    COMMENT "Embedding text assets"
    VERBATIM)
  set(${out_var} ${generated} PARENT_SCOPE)
endfunction()
