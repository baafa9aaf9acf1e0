# The host build (Linux): the plug-in's sources against the stand-in world, for
# unit tests (optionally under sanitizers), fuzzers and benchmarks.
set(NOZZLES_HOST_FLAGS ${NOZZLES_WARNINGS})
set(NOZZLES_HOST_LINK)
if(NOZZLES_SANITIZE)
    list(APPEND NOZZLES_HOST_FLAGS -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
    list(APPEND NOZZLES_HOST_LINK -fsanitize=address,undefined)
endif()
if(NOZZLES_FUZZ)
    list(APPEND NOZZLES_HOST_FLAGS -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all)
    list(APPEND NOZZLES_HOST_LINK -fsanitize=address,undefined)
endif()

add_library(nozzles_core STATIC ${NOZZLES_CORE_SOURCES} src/plugin/process_state.cpp src/platform/platform_posix.cpp)
target_include_directories(nozzles_core PUBLIC src)
target_compile_options(nozzles_core PRIVATE ${NOZZLES_HOST_FLAGS} ${NOZZLES_GUEST_FLAGS})
target_link_options(nozzles_core PUBLIC ${NOZZLES_HOST_LINK})

if(NOZZLES_FUZZ)
    include(${CMAKE_SOURCE_DIR}/tests/fuzz/fuzz.cmake)
    return()
endif()

# The stand-in world, hook and game code, linked in place of the real ones.
add_library(nozzles_sim STATIC
    sim/game_functions.S
    sim/game_objects.cpp
    sim/posix_host.cpp
    sim/scenario.cpp
    sim/sim_memory_posix.cpp
    sim/world.cpp)
target_include_directories(nozzles_sim PUBLIC sim src)
target_compile_options(nozzles_sim PRIVATE $<$<COMPILE_LANGUAGE:CXX>:${NOZZLES_HOST_FLAGS}>)
target_link_libraries(nozzles_sim PUBLIC nozzles_core)

find_package(GTest REQUIRED)
include(GoogleTest)
file(GLOB NOZZLES_UNIT_TESTS CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/unit/*.cpp)
add_library(nozzles_test_support STATIC tests/support/reference_search.cpp)
target_include_directories(nozzles_test_support PUBLIC tests/support)
target_compile_options(nozzles_test_support PRIVATE ${NOZZLES_HOST_FLAGS})
add_library(nozzles_unit_test_objects OBJECT ${NOZZLES_UNIT_TESTS})
target_compile_options(nozzles_unit_test_objects PRIVATE ${NOZZLES_HOST_FLAGS})
target_compile_definitions(nozzles_unit_test_objects PRIVATE NOZZLES_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
target_link_libraries(nozzles_unit_test_objects PRIVATE nozzles_sim nozzles_test_support GTest::gtest GTest::gmock)
# The game code must stay in the binary even though nothing names it directly.
set(NOZZLES_UNIT_TEST_LINK nozzles_unit_test_objects -Wl,--whole-archive nozzles_sim -Wl,--no-whole-archive
    nozzles_core nozzles_test_support GTest::gtest GTest::gmock GTest::gtest_main)
add_executable(unit_tests)
target_link_libraries(unit_tests PRIVATE ${NOZZLES_UNIT_TEST_LINK})
gtest_discover_tests(unit_tests WORKING_DIRECTORY ${CMAKE_BINARY_DIR} DISCOVERY_TIMEOUT 60)

# The same tests on an emulated processor without AVX2 (qemu-user's Nehalem),
# where the search must choose SSE2 and never run an AVX2 instruction. Not
# under the sanitizers, whose shadow memory the emulator does not map.
if(NOT NOZZLES_SANITIZE)
    find_program(NOZZLES_QEMU qemu-x86_64 REQUIRED)
    add_executable(unit_tests_nehalem)
    target_link_libraries(unit_tests_nehalem PRIVATE ${NOZZLES_UNIT_TEST_LINK})
    set_target_properties(unit_tests_nehalem PROPERTIES CROSSCOMPILING_EMULATOR "${NOZZLES_QEMU};-cpu;Nehalem")
    gtest_discover_tests(unit_tests_nehalem WORKING_DIRECTORY ${CMAKE_BINARY_DIR} DISCOVERY_TIMEOUT 120
        TEST_PREFIX "nehalem." PROPERTIES ENVIRONMENT NOZZLES_EMULATED_CPU=Nehalem)
endif()

# The search over real page protections; the Windows build runs the same program under Wine.
add_executable(region_search_test tests/regions/region_search_test.cpp sim/game_functions.S
    sim/sim_memory_posix.cpp)
target_compile_options(region_search_test PRIVATE ${NOZZLES_HOST_FLAGS})
target_include_directories(region_search_test PRIVATE sim)
target_link_libraries(region_search_test PRIVATE nozzles_core nozzles_test_support)
foreach(path sse2 avx2 avx512)
    add_test(NAME regions.host.${path} COMMAND region_search_test ${path})
    set_tests_properties(regions.host.${path} PROPERTIES SKIP_RETURN_CODE 77)
endforeach()

# The signature tools' analysis of two builds, which decodes with Debian's
# Zydis 4, and its tests on code they make (under the sanitizers too).
find_package(zydis 4 REQUIRED)
add_library(nozzles_sigcheck_analysis STATIC ${NOZZLES_SIGCHECK_SOURCES} src/memory/exception_directory.cpp
    src/memory/function_set.cpp src/memory/regions.cpp src/memory/signature.cpp src/memory/signature_each.cpp
    src/platform/platform_posix.cpp)
target_include_directories(nozzles_sigcheck_analysis PUBLIC src tools/sigcheck)
target_compile_options(nozzles_sigcheck_analysis PRIVATE ${NOZZLES_HOST_FLAGS} ${NOZZLES_GUEST_FLAGS})
target_link_options(nozzles_sigcheck_analysis PUBLIC ${NOZZLES_HOST_LINK})
set_target_properties(nozzles_sigcheck_analysis PROPERTIES POSITION_INDEPENDENT_CODE ON)
target_link_libraries(nozzles_sigcheck_analysis PUBLIC Zydis::Zydis)
add_executable(sigcheck_analysis_tests tests/sigcheck/analysis_test.cpp)
target_compile_options(sigcheck_analysis_tests PRIVATE ${NOZZLES_HOST_FLAGS})
target_link_libraries(sigcheck_analysis_tests PRIVATE nozzles_sigcheck_analysis GTest::gtest GTest::gtest_main)
gtest_discover_tests(sigcheck_analysis_tests TEST_PREFIX "sigcheck." DISCOVERY_TIMEOUT 60)

# nozzles-sigcheck: the signatures in a game file, read with Debian's pefile
# (which the first python3 on PATH may not see) and searched by the plug-in's
# own code through a shared library whose exports sigcheck_api.h declares.
if(NOT NOZZLES_SANITIZE)
    set(NOZZLES_PE_PYTHON /usr/bin/python3 CACHE FILEPATH "A Python that has Debian's python3-pefile")
    execute_process(COMMAND ${NOZZLES_PE_PYTHON} -c "import pefile" RESULT_VARIABLE NOZZLES_NO_PEFILE
        OUTPUT_QUIET ERROR_QUIET)
    if(NOZZLES_NO_PEFILE)
        message(FATAL_ERROR "${NOZZLES_PE_PYTHON} cannot import pefile: install python3-pefile (make deps)")
    endif()
    add_library(nozzles_sigcheck SHARED tools/sigcheck/boundary.cpp)
    target_compile_options(nozzles_sigcheck PRIVATE ${NOZZLES_HOST_FLAGS} ${NOZZLES_GUEST_FLAGS})
    find_package(Threads REQUIRED)
    target_link_libraries(nozzles_sigcheck PRIVATE nozzles_sigcheck_analysis Threads::Threads)
    file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/nozzles-sigcheck
        CONTENT "#!/bin/sh\nexec ${NOZZLES_PE_PYTHON} ${CMAKE_SOURCE_DIR}/tools/sigcheck/nozzles_sigcheck.py --library $<TARGET_FILE:nozzles_sigcheck> \"$@\"\n"
        FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
    add_test(NAME sigcheck.images
        COMMAND ${NOZZLES_PE_PYTHON} ${CMAKE_SOURCE_DIR}/tests/sigcheck/sigcheck_test.py
            ${CMAKE_BINARY_DIR}/nozzles-sigcheck ${CMAKE_BINARY_DIR}/sigcheck-images)
    add_test(NAME header.signature_lines
        COMMAND ${NOZZLES_PE_PYTHON} ${CMAKE_SOURCE_DIR}/tests/header/signature_lines_test.py ${CMAKE_CXX_COMPILER}
            ${CMAKE_SOURCE_DIR})
    add_test(NAME sigcheck.boundary
        COMMAND ${NOZZLES_PE_PYTHON} ${CMAKE_SOURCE_DIR}/tests/sigcheck/boundary_test.py
            $<TARGET_FILE:nozzles_sigcheck>)
    # The maintainers' documents, where they name tests and thresholds.
    add_test(NAME documents.names_and_thresholds
        COMMAND ${NOZZLES_PE_PYTHON} ${CMAKE_SOURCE_DIR}/tests/documents/documents_test.py ${CMAKE_SOURCE_DIR})
endif()

if(NOT NOZZLES_SANITIZE)
    find_package(benchmark REQUIRED)
    add_executable(scanner_bench bench/scanner_bench.cpp bench/baseline_scan.cpp)
    target_compile_options(scanner_bench PRIVATE ${NOZZLES_HOST_FLAGS})
    target_link_libraries(scanner_bench PRIVATE nozzles_core benchmark::benchmark)
    # The peer scanner, measured beside ours when its source is at hand; nothing is fetched.
    set(NOZZLES_LIBHAT_DIR ${CMAKE_SOURCE_DIR}/../shared/peers/libhat CACHE PATH "libhat's source, for the benchmark")
    if(EXISTS ${NOZZLES_LIBHAT_DIR}/CMakeLists.txt)
        foreach(option TESTING EXAMPLES INSTALL_TARGET WARNINGS_AS_ERRORS)
            set(LIBHAT_${option} OFF CACHE BOOL "" FORCE)
        endforeach()
        add_subdirectory(${NOZZLES_LIBHAT_DIR} ${CMAKE_BINARY_DIR}/libhat EXCLUDE_FROM_ALL SYSTEM)
        target_link_libraries(scanner_bench PRIVATE libhat::libhat)
        target_compile_definitions(scanner_bench PRIVATE NOZZLES_WITH_LIBHAT)
    else()
        message(STATUS "libhat not found at ${NOZZLES_LIBHAT_DIR}: the benchmark runs without it")
    endif()
endif()

# A million frames; optimised build only (it writes a few million log lines).
if(NOT NOZZLES_SANITIZE)
    add_executable(soak tests/soak/soak.cpp)
    target_compile_options(soak PRIVATE ${NOZZLES_HOST_FLAGS})
    target_link_libraries(soak PRIVATE -Wl,--whole-archive nozzles_sim -Wl,--no-whole-archive nozzles_core)
    add_test(NAME soak.million_frames COMMAND soak 1000000)
    set_tests_properties(soak.million_frames PROPERTIES TIMEOUT 900)
endif()
