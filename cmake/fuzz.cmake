# Fuzzing build: libFuzzer targets over the system's parsers, compiled with
# clang under AddressSanitizer and UBSan, each run by ctest for a fixed time
# from the seed corpus under tests/fuzz/corpus/. Only the sources a target
# needs are compiled, with the simulated machine standing in for the
# platform.
if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  message(FATAL_ERROR "The fuzz configuration needs clang for libFuzzer (use the fuzz preset)")
endif()

set(QMB_FUZZ_SECONDS 45 CACHE STRING "How long ctest runs each fuzz target")

set(QMB_FUZZ_SANITIZERS -fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
add_compile_options(-g -O1 -Wall -Wextra -Wno-unused-parameter -Wno-cast-function-type)

# The simulated machine: sanitized, but not instrumented for coverage.
qmb_add_sim(qmb_fuzz_sim)
target_compile_options(qmb_fuzz_sim PRIVATE ${QMB_FUZZ_SANITIZERS})

# qmb_add_fuzz_target(<name> <seed folder> <system sources>...): the harness
# is tests/fuzz/<name>.cpp, the seeds tests/fuzz/corpus/<seed folder>/, and
# tests/fuzz/<name>.dict, when present, its dictionary of tokens.
function(qmb_add_fuzz_target name seeds)
  add_executable(${name} tests/fuzz/${name}.cpp ${ARGN})
  target_include_directories(${name} PRIVATE src tests)
  target_compile_options(${name} PRIVATE -fsanitize=fuzzer ${QMB_FUZZ_SANITIZERS})
  target_link_options(${name} PRIVATE -fsanitize=fuzzer ${QMB_FUZZ_SANITIZERS})
  target_link_libraries(${name} PRIVATE qmb_fuzz_sim)

  # New inputs go to the build tree; the committed seeds are only read.
  set(work ${CMAKE_BINARY_DIR}/fuzz/${name})
  set(dictionary)
  if(EXISTS ${CMAKE_SOURCE_DIR}/tests/fuzz/${name}.dict)
    set(dictionary -dict=${CMAKE_SOURCE_DIR}/tests/fuzz/${name}.dict)
  endif()
  file(MAKE_DIRECTORY ${work}/corpus ${work}/artifacts)
  add_test(NAME ${name}
    COMMAND ${name} -max_total_time=${QMB_FUZZ_SECONDS} -max_len=8192 -timeout=10 -rss_limit_mb=2048
            -print_final_stats=1 ${dictionary} -artifact_prefix=${work}/artifacts/
            ${work}/corpus ${CMAKE_SOURCE_DIR}/tests/fuzz/corpus/${seeds})
  math(EXPR limit "${QMB_FUZZ_SECONDS} * 3 + 60")
  set_tests_properties(${name} PROPERTIES TIMEOUT ${limit})
endfunction()

qmb_add_fuzz_target(command_line_fuzz command_line
  src/driver/command_line.cpp
  src/driver/language.cpp
  src/driver/build_profile.cpp
  src/platform/fixed_text.cpp
)

qmb_add_fuzz_target(registry_read_fuzz registry_read
  src/state/reg_key.cpp
  src/state/settings.cpp
  src/state/product_probes.cpp
  src/driver/build_profile.cpp
  src/platform/fixed_text.cpp
)

# The writer moves an old file of the name aside through the run folders'
# helpers, which log through the diagnostic log.
qmb_add_fuzz_target(resource_write_fuzz resource_write
  src/payload/resource_file.cpp
  src/payload/failure_report.cpp
  src/payload/file_names.cpp
  src/payload/final_path.cpp
  src/payload/folder_handle.cpp
  src/payload/own_folder.cpp
  src/payload/retire_name.cpp
  src/diag/diag_log.cpp
  src/diag/system_library.cpp
  src/platform/fixed_text.cpp
  src/platform/native_files.cpp
  src/platform/windows_version.cpp
)
