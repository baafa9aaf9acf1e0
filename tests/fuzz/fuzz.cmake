# libFuzzer targets (clang). Each runs for a few seconds in the test suite,
# from the seeds in the repository; `make fuzz` runs them for longer.
set(NOZZLES_FUZZ_SECONDS 5 CACHE STRING "Seconds each fuzz target runs in ctest")
find_package(zydis 4 REQUIRED)
list(TRANSFORM NOZZLES_SIGCHECK_SOURCES PREPEND ${CMAKE_SOURCE_DIR}/ OUTPUT_VARIABLE NOZZLES_SIGCHECK_PATHS)
foreach(target settings_fuzz scanner_fuzz sigcheck_fuzz)
    add_executable(${target} ${CMAKE_SOURCE_DIR}/tests/fuzz/${target}.cpp
        ${CMAKE_SOURCE_DIR}/tests/support/reference_search.cpp)
    target_include_directories(${target} PRIVATE ${CMAKE_SOURCE_DIR}/tests/support ${CMAKE_SOURCE_DIR}/tools/sigcheck)
    target_compile_options(${target} PRIVATE ${NOZZLES_HOST_FLAGS})
    target_link_options(${target} PRIVATE -fsanitize=fuzzer,address,undefined)
    target_link_libraries(${target} PRIVATE nozzles_core)
    if(target STREQUAL "sigcheck_fuzz")
        target_sources(${target} PRIVATE ${NOZZLES_SIGCHECK_PATHS})
        target_link_libraries(${target} PRIVATE Zydis::Zydis)
    endif()
    string(REPLACE "_fuzz" "" corpus ${target})
    add_test(NAME fuzz.${corpus}
        COMMAND ${CMAKE_COMMAND} -E env ASAN_OPTIONS=detect_leaks=1
            sh -c "mkdir -p ${CMAKE_BINARY_DIR}/corpus/${corpus} && \
exec $<TARGET_FILE:${target}> -max_total_time=${NOZZLES_FUZZ_SECONDS} -print_final_stats=1 \
${CMAKE_BINARY_DIR}/corpus/${corpus} ${CMAKE_SOURCE_DIR}/tests/fuzz/corpus/${corpus}")
    set_tests_properties(fuzz.${corpus} PROPERTIES TIMEOUT 300)
endforeach()
