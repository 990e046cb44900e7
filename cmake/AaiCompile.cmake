# Compiler settings shared by every target of the project.

if(AAI_SANITIZE)
  add_compile_options(-fsanitize=${AAI_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${AAI_SANITIZE})
endif()

# Our own code builds warning-free; third-party headers are included as system headers. Built with
# clang, the locking is checked too: members guarded by a mutex are touched only with it held.
function(aai_strict target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Werror -Wno-format-zero-length)
  if(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    target_compile_options(${target} PRIVATE -Wthread-safety)
  endif()
endfunction()

# A shared library of the project: versioned, strict, exporting its include directory.
#   aai_library(<target> SOURCES ... [PUBLIC_DEPS ...] [PRIVATE_DEPS ...] [INCLUDE_DIR dir])
function(aai_library target)
  cmake_parse_arguments(ARG "" "INCLUDE_DIR" "SOURCES;PUBLIC_DEPS;PRIVATE_DEPS" ${ARGN})
  add_library(${target} SHARED ${ARG_SOURCES})
  add_library(aai::${target} ALIAS ${target})
  set_target_properties(${target} PROPERTIES
    VERSION ${PROJECT_VERSION}
    SOVERSION ${PROJECT_VERSION_MAJOR})
  if(ARG_INCLUDE_DIR)
    target_include_directories(${target} PUBLIC
      $<BUILD_INTERFACE:${ARG_INCLUDE_DIR}>
      $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
  endif()
  target_link_libraries(${target} PUBLIC ${ARG_PUBLIC_DEPS} PRIVATE ${ARG_PRIVATE_DEPS})
  aai_strict(${target})
endfunction()
