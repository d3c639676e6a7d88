# What the two extension modules (_quorl_sdk and quorl_sdk._engine) share in
# how they are linked.

# Lets only the module's init function (listed in EXPORTS_MAP, a GNU version
# script) leave the shared object of TARGET, so that the Boost and libstdc++
# code linked into it never clashes with another module's. The version script
# is a GNU linker feature; the other platforms' linkers export only what is
# marked visible anyway.
function(quorl_export_init_only target exports_map)
  set_target_properties(${target} PROPERTIES CXX_VISIBILITY_PRESET hidden
                                             VISIBILITY_INLINES_HIDDEN ON)
  if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
    target_link_options(${target} PRIVATE -Wl,--exclude-libs,ALL
                        -Wl,--version-script=${exports_map})
    set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${exports_map})
  endif()
endfunction()
