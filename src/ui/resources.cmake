# Embeds the progress window's packed images (resources/*.bmp.lzma, made by tools/make_images)
# into the library as byte arrays, regenerated whenever one of them changes.
set(KORVEL_PACKED_IMAGES background slogan farewell track fill button_normal button_hover icon)
set(korvel_packed_files)
foreach(name IN LISTS KORVEL_PACKED_IMAGES)
  list(APPEND korvel_packed_files ${CMAKE_SOURCE_DIR}/resources/${name}.bmp.lzma)
endforeach()
string(REPLACE ";" "," korvel_packed_names "${KORVEL_PACKED_IMAGES}")
set(korvel_resources_cpp ${CMAKE_BINARY_DIR}/generated/ui_resources.cpp)
add_custom_command(
  OUTPUT ${korvel_resources_cpp}
  COMMAND ${CMAKE_COMMAND} -DRESOURCE_DIR=${CMAKE_SOURCE_DIR}/resources
          -DNAMES=${korvel_packed_names} -DOUTPUT=${korvel_resources_cpp}
          -P ${CMAKE_SOURCE_DIR}/src/ui/embed_resources.cmake
  DEPENDS ${korvel_packed_files} ${CMAKE_SOURCE_DIR}/src/ui/embed_resources.cmake
  COMMENT "Embedding the window's images"
  VERBATIM)
target_sources(korvel PRIVATE ${korvel_resources_cpp})
