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
  set(${var} ${out} PARENT_SCOPE)
endfunction()

# Compiles <target> with the tables: include paths, libraries, warnings.
function(aai_fuzz_use_tables target tables)
  target_sources(${target} PRIVATE ${tables})
  get_filename_component(dir ${tables} DIRECTORY)
  target_include_directories(${target} PRIVATE ${AAI_FUZZ_DIR} ${dir})
  target_link_libraries(${target} PRIVATE aai zel_trace)
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
