# What the fuzz targets, their corpus replays and the robustness tests share. Included by
# fuzz/CMakeLists.txt (fuzz builds) and tests/robustness/CMakeLists.txt (every build with tests).

set(AAI_FUZZ_DIR ${CMAKE_CURRENT_LIST_DIR})

# Writes <current binary dir>/fuzzgen/fuzz_tables.h from the description (fuzz/gen_tables.py) and
# sets <var> to its path. Each directory that uses it writes its own copy.
function(aai_fuzz_tables var)
  set(out ${CMAKE_CURRENT_BINARY_DIR}/fuzzgen/fuzz_tables.h)
  file(GLOB parser_sources CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/tools/aaigen/*.py)
  add_custom_command(
    OUTPUT ${out}
    COMMAND ${Python3_EXECUTABLE} ${AAI_FUZZ_DIR}/gen_tables.py --idl ${PROJECT_SOURCE_DIR}/idl/aai.idl --out ${out}
    DEPENDS ${AAI_FUZZ_DIR}/gen_tables.py ${PROJECT_SOURCE_DIR}/idl/aai.idl ${parser_sources}
    WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
    COMMENT "Writing the fuzz tables from idl/aai.idl"
    VERBATIM)
  set_property(DIRECTORY PROPERTY AAI_FUZZ_TABLES ${out})
  set(${var} ${out} PARENT_SCOPE)
endfunction()

# Compiles <target> with the tables: include paths, libraries, warnings.
function(aai_fuzz_use_tables target tables)
  target_sources(${target} PRIVATE ${tables})
  get_filename_component(dir ${tables} DIRECTORY)
  # The transport's internal interface too: the socket target finds the served name's socket with it.
  target_include_directories(${target} PRIVATE ${AAI_FUZZ_DIR} ${dir} ${PROJECT_SOURCE_DIR}/runtime/ipc2/src
                                               ${PROJECT_SOURCE_DIR}/tests/support)
  target_link_libraries(${target} PRIVATE aai zel_ipc2 zel_trace)
  aai_strict(${target})
endfunction()

# aai_fuzz_replay(<name> <tables>): the executable aai_replay_<name>, which runs fuzz/<name>.cpp's
# entry point on files, and the test fuzz_corpus_<name> replaying fuzz/corpus/<name>.
function(aai_fuzz_replay name tables)
  add_executable(aai_replay_${name} ${AAI_FUZZ_DIR}/${name}.cpp ${AAI_FUZZ_DIR}/replay_main.cpp)
  aai_fuzz_use_tables(aai_replay_${name} ${tables})
  add_test(NAME fuzz_corpus_${name} COMMAND aai_replay_${name} ${AAI_FUZZ_DIR}/corpus/${name})
  get_filename_component(label ${CMAKE_CURRENT_SOURCE_DIR} NAME)
  set_tests_properties(fuzz_corpus_${name} PROPERTIES TIMEOUT 300 LABELS ${label})
endfunction()

# Replays of the targets that tests/robustness does not list itself: added to the directory that
# includes this file for its replays, once that directory has made its tables.
function(aai_fuzz_more_replays)
  get_property(tables DIRECTORY PROPERTY AAI_FUZZ_TABLES)
  if(tables)
    foreach(name socket_peer)
      if(NOT TARGET aai_replay_${name})
        aai_fuzz_replay(${name} ${tables})
      endif()
    endforeach()
  endif()
endfunction()
if(NOT CMAKE_CURRENT_SOURCE_DIR STREQUAL AAI_FUZZ_DIR)
  cmake_language(DEFER CALL aai_fuzz_more_replays)
endif()
