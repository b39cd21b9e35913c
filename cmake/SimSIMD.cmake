# Provides the target `tessarin::simsimd`: SimSIMD's headers plus its dispatch unit,
# compiled with run-time capability dispatch. The pinned sdist is fetched by pip (hash
# checked) into the build tree, or taken from TESSARIN_SIMSIMD_SDIST when given.
set(TESSARIN_SIMSIMD_VERSION 6.5.16)
set(TESSARIN_SIMSIMD_SDIST "" CACHE FILEPATH "A pre-downloaded simsimd-${TESSARIN_SIMSIMD_VERSION}.tar.gz")

set(_simsimd_deps "${CMAKE_BINARY_DIR}/_deps")
set(_simsimd_root "${_simsimd_deps}/simsimd-${TESSARIN_SIMSIMD_VERSION}")

if(NOT EXISTS "${_simsimd_root}/c/lib.c")
  set(_sdist "${TESSARIN_SIMSIMD_SDIST}")
  if(NOT _sdist)
    set(_sdist "${_simsimd_deps}/simsimd-${TESSARIN_SIMSIMD_VERSION}.tar.gz")
  endif()
  if(NOT EXISTS "${_sdist}")
    message(STATUS "Fetching SimSIMD ${TESSARIN_SIMSIMD_VERSION} sources with pip")
    # -I keeps a build front-end's isolation paths from hiding the interpreter's own pip.
    execute_process(
      COMMAND "${Python_EXECUTABLE}" -I -m pip download --quiet --no-deps --no-binary :all:
              --require-hashes -r "${CMAKE_CURRENT_LIST_DIR}/simsimd-requirements.txt"
              -d "${_simsimd_deps}"
      RESULT_VARIABLE _pip_result)
    if(NOT _pip_result EQUAL 0 OR NOT EXISTS "${_sdist}")
      message(FATAL_ERROR
        "Could not fetch the SimSIMD ${TESSARIN_SIMSIMD_VERSION} sdist with pip. Download it with\n"
        "  python -m pip download --no-deps --no-binary :all: simsimd==${TESSARIN_SIMSIMD_VERSION} -d DIR\n"
        "and pass -DTESSARIN_SIMSIMD_SDIST=DIR/simsimd-${TESSARIN_SIMSIMD_VERSION}.tar.gz")
    endif()
  endif()
  file(SHA256 "${_sdist}" _sdist_hash)
  if(NOT _sdist_hash STREQUAL "0a005c6e2dacec83f235a747f7dbecca46b5d4d1e183ecc1929ca556ee7d7564")
    message(FATAL_ERROR "${_sdist} does not have the pinned SHA-256 (got ${_sdist_hash})")
  endif()
  file(ARCHIVE_EXTRACT INPUT "${_sdist}" DESTINATION "${_simsimd_deps}")
endif()

add_library(tessarin_simsimd STATIC "${_simsimd_root}/c/lib.c")
add_library(tessarin::simsimd ALIAS tessarin_simsimd)
set_target_properties(tessarin_simsimd PROPERTIES POSITION_INDEPENDENT_CODE ON C_STANDARD 99)
# Dispatch picks the kernel for the running CPU; the library itself is built for the
# baseline ISA and enables wider instructions per function.
target_compile_definitions(tessarin_simsimd PUBLIC SIMSIMD_DYNAMIC_DISPATCH=1
                           SIMSIMD_NATIVE_F16=0 SIMSIMD_NATIVE_BF16=0)
target_compile_options(tessarin_simsimd PRIVATE -O3 -w)
# Its branch-free scalar f16 conversion shifts by out-of-range amounts in terms that
# are then multiplied by zero; keep sanitizer builds quiet about code we do not own.
if(TESSARIN_SANITIZE)
  target_compile_options(tessarin_simsimd PRIVATE -fno-sanitize=all)
endif()
target_include_directories(tessarin_simsimd SYSTEM PUBLIC "${_simsimd_root}/include")
