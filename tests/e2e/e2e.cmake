# end-to-end tests: filled below
# Each end-to-end scenario is one ctest; they share the private Wine prefix,
# which the first test creates.
execute_process(
    COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/tests/e2e/e2e.py --build . --work . --list
    OUTPUT_VARIABLE NOZZLES_E2E_TESTS OUTPUT_STRIP_TRAILING_WHITESPACE)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/e2e/e2e.py)
string(REPLACE "\n" ";" NOZZLES_E2E_TESTS "${NOZZLES_E2E_TESTS}")
foreach(name IN LISTS NOZZLES_E2E_TESTS)
    add_test(NAME e2e.${name}
        COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/tests/e2e/e2e.py
            --build ${CMAKE_BINARY_DIR} --work ${CMAKE_BINARY_DIR}/e2e ${name})
    set_tests_properties(e2e.${name} PROPERTIES TIMEOUT 900 SKIP_RETURN_CODE 77)
    if(name STREQUAL "wine_prefix")
        set_tests_properties(e2e.${name} PROPERTIES FIXTURES_SETUP wine)
    elseif(name STREQUAL "wine_server_stop")
        set_tests_properties(e2e.${name} PROPERTIES FIXTURES_CLEANUP wine)
    else()
        set_tests_properties(e2e.${name} PROPERTIES FIXTURES_REQUIRED wine)
    endif()
endforeach()

# The signature search over Windows page protections, under Wine.
add_executable(region_search_test
    tests/regions/region_search_test.cpp
    tests/support/reference_search.cpp
    sim/game_functions.S
    sim/sim_memory_windows.cpp
    src/memory/regions.cpp
    src/memory/signature.cpp
    src/memory/signature_each.cpp
    src/platform/platform_windows.cpp)
target_include_directories(region_search_test PRIVATE src sim tests/support)
target_compile_options(region_search_test PRIVATE ${NOZZLES_WARNINGS})
target_link_options(region_search_test PRIVATE ${NOZZLES_STATIC_RUNTIME})
foreach(path sse2 avx2 avx512)
    add_test(NAME regions.wine.${path} COMMAND region_search_test ${path})
    set_tests_properties(regions.wine.${path} PROPERTIES FIXTURES_REQUIRED wine SKIP_RETURN_CODE 77)
endforeach()

find_program(NOZZLES_PDBUTIL llvm-pdbutil-14 REQUIRED)
add_test(NAME pe.plugin_file
    COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/tests/e2e/check_pe.py
        --objdump ${NOZZLES_OBJDUMP} --windres ${CMAKE_RC_COMPILER} --pdbutil ${NOZZLES_PDBUTIL}
        --version ${PROJECT_VERSION} --map ${NOZZLES_SYMBOLS}.map --pdb ${NOZZLES_SYMBOLS}.pdb $<TARGET_FILE:Nozzles>)
find_program(NOZZLES_AS x86_64-w64-mingw32-as REQUIRED)
find_program(NOZZLES_LD x86_64-w64-mingw32-ld REQUIRED)
add_test(NAME pe.vector_move_rule
    COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/tests/e2e/vector_moves_test.py
        --as ${NOZZLES_AS} --ld ${NOZZLES_LD} --objdump ${NOZZLES_OBJDUMP} ${CMAKE_BINARY_DIR}/vector-moves)

# Every scenario of the repository plays to its end.
file(GLOB NOZZLES_SCENARIOS CONFIGURE_DEPENDS RELATIVE ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/scenarios/*.txt)
foreach(path IN LISTS NOZZLES_SCENARIOS)
    get_filename_component(name ${path} NAME_WE)
    add_test(NAME scenario.${name}
        COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/tests/e2e/e2e.py
            --build ${CMAKE_BINARY_DIR} --work ${CMAKE_BINARY_DIR}/e2e scenario:${path})
    set_tests_properties(scenario.${name} PROPERTIES TIMEOUT 300 FIXTURES_REQUIRED wine)
endforeach()

find_program(NOZZLES_SYMBOLIZER llvm-symbolizer-14 REQUIRED)
add_test(NAME package.contents
    COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/tests/e2e/check_package.py
        --asi $<TARGET_FILE:Nozzles> --windres ${CMAKE_RC_COMPILER} --symbolizer ${NOZZLES_SYMBOLIZER}
        --version ${PROJECT_VERSION} --work ${CMAKE_BINARY_DIR})
add_test(NAME package.reproducible
    COMMAND ${CMAKE_SOURCE_DIR}/tools/check-reproducible $<TARGET_FILE:Nozzles> ${PROJECT_VERSION} ${CMAKE_BINARY_DIR})
set_tests_properties(package.reproducible PROPERTIES TIMEOUT 900)
