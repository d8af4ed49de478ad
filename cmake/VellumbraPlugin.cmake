# One function for the plug-in module: no prefix, the platform's suffix, only the two entry points exported.
function(vellumbra_add_plugin name)
  add_library(${name} MODULE $<TARGET_OBJECTS:vellumbra_effect_objects>)
  target_link_libraries(${name} PRIVATE vellumbra_api)
  set_target_properties(${name} PROPERTIES PREFIX "" CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)

  # Hidden visibility and the export macro already limit the exports; the linker lists make sure that nothing
  # else (runtime pieces pulled in statically, template instances) slips out beside the two entry points.
  set(exports_dir ${CMAKE_CURRENT_BINARY_DIR}/${name}-exports)
  if(WIN32)
    set_target_properties(${name} PROPERTIES SUFFIX ".aex")
    if(MINGW)
      # The host loads one file: the compiler's runtime goes inside it rather than beside it as extra DLLs.
      target_link_options(${name} PRIVATE -static-libgcc -static-libstdc++ -static)
    endif()
  elseif(APPLE)
    file(WRITE ${exports_dir}/exports.txt "_PluginDataEntryFunction\n_EffectMain\n")
    target_link_options(${name} PRIVATE "LINKER:-exported_symbols_list,${exports_dir}/exports.txt")
    set_property(TARGET ${name} APPEND PROPERTY LINK_DEPENDS ${exports_dir}/exports.txt)
  elseif(CMAKE_SYSTEM_NAME STREQUAL "Linux")
    file(WRITE ${exports_dir}/exports.map "{\n  global:\n    PluginDataEntryFunction;\n    EffectMain;\n  local:\n    *;\n};\n")
    target_link_options(${name} PRIVATE -Wl,--no-undefined "LINKER:--version-script=${exports_dir}/exports.map")
    set_property(TARGET ${name} APPEND PROPERTY LINK_DEPENDS ${exports_dir}/exports.map)
  endif()
endfunction()
