# The program's icon is drawn once, as packaging/ld6193.svg; the bitmaps that desktops and Windows ask
# for are rendered from it at build time with rsvg-convert (librsvg2-bin).
find_program(KV_RSVG_CONVERT rsvg-convert)

# kv_icon_pngs(OUT_VAR SIZE...): rules that render the icon at each SIZE (pixels, square) into
# <binary dir>/icons/<SIZE>/ld6193.png; OUT_VAR gets the files, in the order of the sizes. Without
# rsvg-convert OUT_VAR is empty.
function(kv_icon_pngs out_var)
  set(pngs)
  if(KV_RSVG_CONVERT)
    set(svg ${CMAKE_SOURCE_DIR}/packaging/ld6193.svg)
    foreach(size IN LISTS ARGN)
      set(png ${CMAKE_CURRENT_BINARY_DIR}/icons/${size}/ld6193.png)
      add_custom_command(
        OUTPUT ${png}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/icons/${size}
        COMMAND ${KV_RSVG_CONVERT} -w ${size} -h ${size} -o ${png} ${svg}
        DEPENDS ${svg}
        VERBATIM)
      list(APPEND pngs ${png})
    endforeach()
  endif()
  set(${out_var} ${pngs} PARENT_SCOPE)
endfunction()
