# kv_header_only(NAME TARGET HEADER FOLDER): CLI11 and nlohmann-json are header-only. Their own targets
# put the build machine's whole include folder on the path, which would shadow a cross-compiler's C
# library; there, NAME is a copy of the library's own folder alone, else NAME is TARGET.
function(kv_header_only name target header folder)
  if(CMAKE_CROSSCOMPILING)
    get_target_property(includes ${target} INTERFACE_INCLUDE_DIRECTORIES)
    find_path(${name}_root ${header} PATHS ${includes} NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH REQUIRED)
    file(COPY ${${name}_root}/${folder} DESTINATION ${CMAKE_CURRENT_BINARY_DIR}/${name})
    add_library(${name} INTERFACE)
    target_include_directories(${name} SYSTEM INTERFACE ${CMAKE_CURRENT_BINARY_DIR}/${name})
  else()
    add_library(${name} ALIAS ${target})
  endif()
endfunction()
