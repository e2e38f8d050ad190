# Host build: the system compiled against the simulated machine, with the
# unit tests (GoogleTest, run by ctest).
find_package(GTest REQUIRED)

option(QMB_SANITIZE "Build the host tests with AddressSanitizer and UBSan" ON)
set(QMB_HOST_FLAGS -Wall -Wextra -Wno-unused-parameter -Wno-cast-function-type)
# Locals that the code leaves uninitialised hold a non-zero pattern, not
# whatever the stack had: a buffer that must be zero-filled before a read
# that may not terminate it shows the difference in every test.
list(APPEND QMB_HOST_FLAGS -ftrivial-auto-var-init=pattern)
if(QMB_SANITIZE)
  list(APPEND QMB_HOST_FLAGS -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()
add_compile_options(${QMB_HOST_FLAGS})
# qmb_core exists before this file is read, so the directory options above do
# not reach it; the system's own code is what the sanitizers are for.
target_compile_options(qmb_core PRIVATE ${QMB_HOST_FLAGS})

qmb_add_sim(qmb_sim)

qmb_add_profile(qmb_profile_i586 "i586")
qmb_add_profile(qmb_profile_amd64 "AMD64")

add_subdirectory(tests)
