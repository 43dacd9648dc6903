# tessarc_add_module(<name> PROTOCOL|SERVICE [NO_STAGE] <source>...)
#
# Builds a Tessarc module: a shared object named <name>.protocol or
# <name>.service (no "lib" prefix) linked against libtessarc and libconfig++
# through Tessarc::module. Its run path is $ORIGIN, so libraries it depends
# on are found in its own directory, wherever the module is installed.
#
# Inside the Tessarc source tree the module is also copied into the staged
# install root of the build tree (TQ_STAGED_ROOT), unless NO_STAGE is given.
function(tessarc_add_module name kind)
  cmake_parse_arguments(PARSE_ARGV 2 TQ_MODULE "NO_STAGE" "" "")
  if(kind STREQUAL "PROTOCOL")
    set(suffix ".protocol")
    set(subdir "Protocols")
  elseif(kind STREQUAL "SERVICE")
    set(suffix ".service")
    set(subdir "Services")
  else()
    message(FATAL_ERROR "tessarc_add_module(${name}): kind must be PROTOCOL or SERVICE, not '${kind}'")
  endif()
  add_library(${name} MODULE ${TQ_MODULE_UNPARSED_ARGUMENTS})
  target_link_libraries(${name} PRIVATE Tessarc::module)
  set_target_properties(${name} PROPERTIES
    PREFIX ""
    SUFFIX "${suffix}"
    BUILD_RPATH "$ORIGIN"
    INSTALL_RPATH "$ORIGIN")
  if(DEFINED TQ_STAGED_ROOT AND NOT TQ_MODULE_NO_STAGE)
    add_custom_command(TARGET ${name} POST_BUILD
      COMMAND ${CMAKE_COMMAND} -E make_directory ${TQ_STAGED_ROOT}/${subdir}
      COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:${name}> ${TQ_STAGED_ROOT}/${subdir}/
      VERBATIM)
    if(TARGET tessarc-server)
      add_dependencies(tessarc-server ${name})
    endif()
  endif()
endfunction()
