# The product: the GUI exe, its resources and payload, and the end-to-end
# tests that run it under Wine. The toolchain's target decides the flavour:
# i686 (cmake/toolchain-mingw-i686.cmake) builds the 32-bit product, x86_64
# (cmake/toolchain-mingw-x86_64.cmake) its 64-bit flavour, from the same
# sources and with the same steps. What differs is set here:
#   QMB_FLAVOUR           i586 or amd64: names the flavour to the checks and tests
#   QMB_ARCHITECTURE_TAG  the build profile's architecture tag
#   QMB_MANIFEST_ARCH     the manifest's processorArchitecture
#   QMB_ENTRY_SYMBOL      the exe's entry point as the linker names it
#   QMB_DLL_ENTRY_SYMBOL  a runtime-free library's entry point (test programs)
# (32-bit x86 decorates the names of stdcall functions, x64 does not).
enable_language(RC)

if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(QMB_FLAVOUR amd64)
  set(QMB_ARCHITECTURE_TAG AMD64)
  set(QMB_MANIFEST_ARCH amd64)
  set(QMB_ENTRY_SYMBOL QmbProcessStart)
  set(QMB_DLL_ENTRY_SYMBOL DllMainCRTStartup)
else()
  set(QMB_FLAVOUR i586)
  set(QMB_ARCHITECTURE_TAG i586)
  set(QMB_MANIFEST_ARCH X86)
  set(QMB_ENTRY_SYMBOL _QmbProcessStart@0)
  set(QMB_DLL_ENTRY_SYMBOL _DllMainCRTStartup@12)
endif()

# The application manifest names the flavour's architecture and, after it,
# its identity: qmb-6-windows-i586 or qmb-6-windows-amd64.
set(QMB_MANIFEST_FILE ${CMAKE_BINARY_DIR}/res/qmb-setup.manifest)
configure_file(${PROJECT_SOURCE_DIR}/res/qmb-setup.manifest.in ${QMB_MANIFEST_FILE} @ONLY)

# Reproducible: the same sources and payload give the same bytes, whatever
# the folders, the user, the time, the umask or the locale of the build.
# Paths the compiler writes (__FILE__, in an assertion say) are written
# relative to the source folder, or to the build folder as build/...; the
# time the build records is SOURCE_DATE_EPOCH when it is set for the
# configuration, otherwise one that the inputs fix (the exe's time stamp
# comes from the exe's own hash, cmake/stamp_image.py; the sample packages'
# dates are fixed, packages/payload_tool.py). Its value is kept in a file
# that the steps which use it depend on, so a change makes them run again.
set(QMB_SOURCE_DATE_EPOCH "$ENV{SOURCE_DATE_EPOCH}")
if(NOT QMB_SOURCE_DATE_EPOCH MATCHES "^[0-9]*$" OR QMB_SOURCE_DATE_EPOCH GREATER 4294967295)
  message(FATAL_ERROR "SOURCE_DATE_EPOCH must be a number of seconds since 1970 that fits 32 bits, "
                      "not \"${QMB_SOURCE_DATE_EPOCH}\"")
endif()
set(QMB_SOURCE_DATE_FILE ${CMAKE_BINARY_DIR}/qmb-source-date.txt)
file(CONFIGURE OUTPUT ${QMB_SOURCE_DATE_FILE} CONTENT "${QMB_SOURCE_DATE_EPOCH}\n")
set(QMB_PATH_MAPS -ffile-prefix-map=${PROJECT_SOURCE_DIR}/= -ffile-prefix-map=${CMAKE_BINARY_DIR}/=build/)
target_compile_options(qmb_core PRIVATE ${QMB_PATH_MAPS})  # made before this file is read
foreach(map IN LISTS QMB_PATH_MAPS)  # every C and C++ target from here on, not the resource compiler
  add_compile_options($<$<COMPILE_LANGUAGE:C,CXX>:${map}>)
endforeach()

set(QMB_PRODUCT_FLAGS -Os -fno-exceptions -fno-rtti -fno-asynchronous-unwind-tables
    -ffunction-sections -Wall -Wextra -Wno-unused-parameter -Wno-cast-function-type)
target_compile_options(qmb_core PRIVATE ${QMB_PRODUCT_FLAGS})
qmb_add_profile(qmb_profile "${QMB_ARCHITECTURE_TAG}")
target_compile_options(qmb_profile PRIVATE ${QMB_PRODUCT_FLAGS})

add_executable(qmb-setup WIN32 src/driver/winmain.cpp src/platform/process_entry.cpp)
target_compile_options(qmb-setup PRIVATE ${QMB_PRODUCT_FLAGS})
target_link_libraries(qmb-setup PRIVATE qmb_core qmb_profile)
# Only system libraries are imported: the toolchain's runtime is linked in.
# The process starts in QmbProcessStart, without the runtime's start-up code.
target_link_options(qmb-setup PRIVATE -static-libgcc -static-libstdc++ -s -Wl,--gc-sections
    -nostartfiles -Wl,-e,${QMB_ENTRY_SYMBOL} -Wl,--no-insert-timestamp)
target_link_libraries(qmb-setup PRIVATE advapi32 shell32 user32 kernel32)
set_target_properties(qmb-setup PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
# The loader maps a section from the file only when it starts on a page
# boundary of the file, and reads any other into private memory. The image
# keeps the usual 512-byte file alignment, so that its small sections take
# little room, and only the resource section, which holds the payload, is
# moved to a page boundary after the link.
find_package(Python3 REQUIRED COMPONENTS Interpreter)
add_custom_command(TARGET qmb-setup POST_BUILD
  COMMAND ${Python3_EXECUTABLE} ${PROJECT_SOURCE_DIR}/cmake/align_resources.py $<TARGET_FILE:qmb-setup>
  COMMENT "Moving the resource section of qmb-setup.exe to a page boundary of the file"
  VERBATIM)
# The time stamp, which the link left at zero: written last, as it may be the
# image's own hash.
if(QMB_SOURCE_DATE_EPOCH STREQUAL "")
  set(stamp_how --image-hash)
else()
  set(stamp_how --epoch ${QMB_SOURCE_DATE_EPOCH})
endif()
add_custom_command(TARGET qmb-setup POST_BUILD
  COMMAND ${Python3_EXECUTABLE} ${PROJECT_SOURCE_DIR}/cmake/stamp_image.py $<TARGET_FILE:qmb-setup> ${stamp_how}
  COMMENT "Setting the time stamp of qmb-setup.exe"
  VERBATIM)
# Authenticode signing, optional: after the resource section is aligned (a
# signed image cannot be aligned any more, and signing appends its
# certificate table at the end without moving a section). The password comes
# from a file or from an environment variable of the build, whose name only
# is kept here; cmake/sign_exe.py hands it to osslsigncode through a pipe.
set(QMB_SIGN_PKCS12 "" CACHE FILEPATH "PKCS#12 file (.p12/.pfx) to sign qmb-setup.exe with; empty: no signing")
set(QMB_SIGN_PASSWORD_FILE "" CACHE FILEPATH "File whose first line is the PKCS#12 file's password")
set(QMB_SIGN_PASSWORD_ENV "" CACHE STRING
    "Name of the environment variable that holds the PKCS#12 file's password when the build runs")
set(QMB_SIGN_TIMESTAMP_URL "" CACHE STRING "RFC 3161 time-stamp server to countersign the signature; empty: none")
if(QMB_SIGN_PKCS12)
  if(NOT EXISTS "${QMB_SIGN_PKCS12}")
    message(FATAL_ERROR "QMB_SIGN_PKCS12: no file ${QMB_SIGN_PKCS12}")
  endif()
  if(QMB_SIGN_PASSWORD_FILE AND QMB_SIGN_PASSWORD_ENV)
    message(FATAL_ERROR "Give the signing password by QMB_SIGN_PASSWORD_FILE or QMB_SIGN_PASSWORD_ENV, not both")
  elseif(QMB_SIGN_PASSWORD_FILE)
    set(sign_password --password-file ${QMB_SIGN_PASSWORD_FILE})
  elseif(QMB_SIGN_PASSWORD_ENV)
    set(sign_password --password-env ${QMB_SIGN_PASSWORD_ENV})
  else()
    message(FATAL_ERROR "QMB_SIGN_PKCS12 needs its password: set QMB_SIGN_PASSWORD_FILE or QMB_SIGN_PASSWORD_ENV")
  endif()
  find_program(QMB_OSSLSIGNCODE osslsigncode REQUIRED)
  set(sign_timestamp "")
  if(QMB_SIGN_TIMESTAMP_URL)
    set(sign_timestamp --timestamp ${QMB_SIGN_TIMESTAMP_URL})
  endif()
  add_custom_command(TARGET qmb-setup POST_BUILD
    COMMAND ${Python3_EXECUTABLE} ${PROJECT_SOURCE_DIR}/cmake/sign_exe.py $<TARGET_FILE:qmb-setup>
            --pkcs12 ${QMB_SIGN_PKCS12} ${sign_password} ${sign_timestamp} --osslsigncode ${QMB_OSSLSIGNCODE}
    COMMENT "Signing qmb-setup.exe with ${QMB_SIGN_PKCS12}"
    VERBATIM)
endif()
# A change of the signing settings or of the certificate links (and so signs)
# the exe again.
set(sign_settings ${CMAKE_BINARY_DIR}/qmb-sign-settings.txt)
file(CONFIGURE OUTPUT ${sign_settings} CONTENT
     "${QMB_SIGN_PKCS12}\n${QMB_SIGN_PASSWORD_FILE}\n${QMB_SIGN_PASSWORD_ENV}\n${QMB_SIGN_TIMESTAMP_URL}\n")
set_property(TARGET qmb-setup APPEND PROPERTY LINK_DEPENDS ${sign_settings} ${QMB_SIGN_PKCS12}
             ${QMB_SOURCE_DATE_FILE})

add_test(NAME resources_page_aligned
  COMMAND ${Python3_EXECUTABLE} ${PROJECT_SOURCE_DIR}/tests/resources/align_resources_test.py
          --exe $<TARGET_FILE:qmb-setup> --source-date-file ${QMB_SOURCE_DATE_FILE})
# The comparison that the reproducibility and signature checks make
# (scripts/compare_exe.py), on images and folders made by the test.
add_test(NAME resources_compare_exe
  COMMAND ${Python3_EXECUTABLE} ${PROJECT_SOURCE_DIR}/tests/resources/compare_exe_test.py)

# The payload: ten files under their on-disk names. Empty means the sample
# contract packages, built from source into the build tree.
set(PAYLOAD_DIR "" CACHE PATH "Folder with the ten payload files to embed (empty: the sample packages)")

# Wine runs the build's transform tools and every end-to-end test. Debian's
# Wine runs 32-bit programs with 32-bit Unix code: on a kernel that refuses
# those, qemu's user-mode emulator runs them (scripts/install-deps.sh
# registers it), more slowly but as well. Where neither can, the build still
# makes the exe, and every test that needs Wine is reported as skipped.
# The 64-bit flavour's programs are started by the 64-bit loader itself, so
# that no 32-bit loader runs first ("wine" starts the 32-bit one and passes
# a 64-bit program on to the other).
if(QMB_FLAVOUR STREQUAL "amd64")
  find_program(QMB_WINE wine64 PATHS /usr/lib/wine)
else()
  find_program(QMB_WINE wine)
endif()
set(QMB_WINE_RUNS OFF)
if(QMB_WINE)
  execute_process(COMMAND ${QMB_WINE} --version RESULT_VARIABLE wine_rc OUTPUT_VARIABLE wine_version
                  ERROR_VARIABLE wine_error OUTPUT_STRIP_TRAILING_WHITESPACE TIMEOUT 120)
  if(wine_rc EQUAL 0)
    set(QMB_WINE_RUNS ON)
  else()
    string(STRIP "${wine_error}" wine_error)
    string(REPLACE "'" "" wine_error "${wine_error}")
    set(QMB_WINE_FAILURE "wine --version failed: ${wine_error}")
  endif()
else()
  set(QMB_WINE_FAILURE "wine is not installed")
endif()
if(NOT QMB_WINE_RUNS)
  message(WARNING "Wine cannot run here (${QMB_WINE_FAILURE}). The exe is built, but the sample "
                  "packages get no language transforms and every test that needs Wine is skipped.")
endif()

add_subdirectory(tools/msitransform)  # transform generator and embedder, run under Wine
add_subdirectory(packages)   # the sample payload (target sample_payload)
add_subdirectory(tools)      # test and benchmark programs run under Wine
add_subdirectory(res)        # resource script, string table, icon, manifest, payload
add_subdirectory(tests/e2e)  # end-to-end tests under Wine
add_subdirectory(bench)      # benchmark programs and the benchmark's smoke test
