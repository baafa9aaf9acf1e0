# The Windows build: the plug-in, the stand-in hook and game, and the
# end-to-end tests that run them under Wine.
find_program(NOZZLES_DLLTOOL x86_64-w64-mingw32-dlltool REQUIRED)
find_program(NOZZLES_OBJDUMP x86_64-w64-mingw32-objdump REQUIRED)

set(NOZZLES_STATIC_RUNTIME -static -static-libgcc -static-libstdc++)
# The plug-in at -O2, after the build type's -O3: -O3 made it 68,608 bytes
# against 59,392, past check_pe.py's 64 KiB, for loops whose vector code is
# written by hand either way.
set(NOZZLES_PLUGIN_OPTIMISE -O2)
find_program(NOZZLES_LLVM_STRIP llvm-strip-14 REQUIRED)

# Import library mapping the plug-in's plain names to the hook's decorated exports.
set(HOOK_IMPORT_LIB ${CMAKE_BINARY_DIR}/libScriptHookV-imports.a)
add_custom_command(
    OUTPUT ${HOOK_IMPORT_LIB}
    # Named from the build folder, with a fixed prefix for its members: dlltool
    # names members and symbols after the path it is given, which would put the
    # build folder into the linker map and the debug information.
    COMMAND ${NOZZLES_DLLTOOL} -d ${CMAKE_SOURCE_DIR}/src/hook/ScriptHookV.def -l libScriptHookV-imports.a -t ScriptHookV
    WORKING_DIRECTORY ${CMAKE_BINARY_DIR}
    DEPENDS ${CMAKE_SOURCE_DIR}/src/hook/ScriptHookV.def
    COMMENT "Import library for ScriptHookV.dll")
add_custom_target(hook_imports DEPENDS ${HOOK_IMPORT_LIB})

configure_file(${CMAKE_SOURCE_DIR}/cmake/nozzles_version.h.in ${CMAKE_BINARY_DIR}/generated/nozzles_version.h @ONLY)
# windres reports no header dependencies: a new version must still rebuild the resources.
set_source_files_properties(src/plugin/resources.rc PROPERTIES OBJECT_DEPENDS ${CMAKE_BINARY_DIR}/generated/nozzles_version.h)

# The set's rule and the exception directory judge a search's few matches:
# they run a handful of times per search, so they are built for size. -O3's
# inlining made them twice as large, for no time anyone could measure.
set_source_files_properties(src/memory/function_set.cpp src/memory/exception_directory.cpp
    PROPERTIES COMPILE_OPTIONS -Os)

add_library(Nozzles MODULE
    ${NOZZLES_CORE_SOURCES}
    src/plugin/entry.cpp
    src/plugin/resources.rc
    src/platform/platform_windows.cpp)
set_target_properties(Nozzles PROPERTIES PREFIX "" SUFFIX ".asi" OUTPUT_NAME Nozzles)
# Only the resources read the generated version header: no compile of C++
# names the build folder, which clang records in the PDB with its command line.
target_include_directories(Nozzles PRIVATE src $<$<COMPILE_LANGUAGE:RC>:${CMAKE_BINARY_DIR}/generated>)
target_compile_options(Nozzles PRIVATE $<$<COMPILE_LANGUAGE:CXX>:${NOZZLES_PLUGIN_OPTIMISE} ${NOZZLES_WARNINGS}
    ${NOZZLES_REPRO} ${NOZZLES_GUEST_FLAGS} -ffunction-sections -fdata-sections>)
add_dependencies(Nozzles hook_imports)
# A guest in the game's process: the runtime linked in (nothing to install),
# only what is used kept, ASLR with high-entropy addresses and no-execute
# asked for rather than left to the linker's defaults, and no time stamp.
target_link_options(Nozzles PRIVATE ${NOZZLES_STATIC_RUNTIME} -Wl,--gc-sections
    -Wl,--dynamicbase -Wl,--high-entropy-va -Wl,--nxcompat -Wl,--entry=pluginEntryPoint
    -Wl,--exclude-all-symbols -Wl,--no-insert-timestamp)
target_link_libraries(Nozzles PRIVATE ${HOOK_IMPORT_LIB})

# Crash symbols beside the package: the DLL names its PDB in its debug
# directory (GUID, age and the file's name, no build path), so that WinDbg or
# Visual Studio opens a player's crash dump with functions, lines and locals,
# and llvm-symbolizer turns a "Nozzles.asi+0x1A2B" into a function and a line
# on Linux. The linker map says where each function lies without any tool.
# Debug information changes no instruction; source and build paths are
# kept out, so both files are reproducible. The MinGW runtime's own DWARF
# sections are stripped after the link: nothing reads them.
set(NOZZLES_SYMBOLS ${CMAKE_BINARY_DIR}/Nozzles-${PROJECT_VERSION}-win64)
target_compile_options(Nozzles PRIVATE $<$<COMPILE_LANGUAGE:CXX>:-g -gcodeview -ffile-compilation-dir=.>)
# The PDB and the map named relative to the build folder, where the link
# runs: lld records its command line in the PDB, and the PDB's own path under
# the source path given, so neither names the build folder.
target_link_options(Nozzles PRIVATE -Wl,-Map=Nozzles-${PROJECT_VERSION}-win64.map
    -Wl,--pdb=Nozzles-${PROJECT_VERSION}-win64.pdb -Wl,-Xlink=-pdbaltpath:%_PDB% -Wl,-Xlink=-pdbsourcepath:/nozzles)
add_custom_command(TARGET Nozzles POST_BUILD
    COMMAND ${NOZZLES_LLVM_STRIP} --strip-debug $<TARGET_FILE:Nozzles>
    BYPRODUCTS ${NOZZLES_SYMBOLS}.pdb ${NOZZLES_SYMBOLS}.map
    VERBATIM)

# The player's package: `make dist` builds this target.
set(NOZZLES_DIST_DIR ${CMAKE_SOURCE_DIR}/dist CACHE PATH "Where the player's zip and SHA256SUMS go")
add_custom_target(dist
    COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/tools/package.py --asi $<TARGET_FILE:Nozzles>
        --symbols ${NOZZLES_SYMBOLS}.pdb ${NOZZLES_SYMBOLS}.map --version ${PROJECT_VERSION}
        --out-dir ${NOZZLES_DIST_DIR}
    DEPENDS Nozzles
    VERBATIM)

# The stand-in hook.
add_library(ScriptHookV SHARED sim/hook_dll.cpp sim/world.cpp sim/hook.def)
set_target_properties(ScriptHookV PROPERTIES PREFIX "" OUTPUT_NAME ScriptHookV)
target_include_directories(ScriptHookV PRIVATE src sim)
target_compile_options(ScriptHookV PRIVATE ${NOZZLES_WARNINGS})
target_link_options(ScriptHookV PRIVATE ${NOZZLES_STATIC_RUNTIME})

# The stand-in game process. Its own machine code comes first in its image.
add_executable(nozzles-game
    sim/game_functions.S
    sim/game_main.cpp
    sim/game_objects.cpp
    sim/import_thunks.S
    sim/plugin_imports.cpp
    sim/report.cpp
    sim/scenario.cpp
    sim/sim_memory_windows.cpp
    sim/world.cpp)
target_include_directories(nozzles-game PRIVATE src sim)
target_compile_options(nozzles-game PRIVATE $<$<COMPILE_LANGUAGE:CXX>:${NOZZLES_WARNINGS}>)
target_link_options(nozzles-game PRIVATE ${NOZZLES_STATIC_RUNTIME})
target_link_libraries(nozzles-game PRIVATE ScriptHookV psapi)

# The same game with 128 MiB more of executable image, for `make bench`: what
# a full pass over the game's code costs the plug-in while a function is missing.
get_target_property(NOZZLES_GAME_SOURCES nozzles-game SOURCES)
add_executable(nozzles-game-large ${NOZZLES_GAME_SOURCES} sim/large_code.S)
target_include_directories(nozzles-game-large PRIVATE src sim)
target_compile_definitions(nozzles-game-large PRIVATE NOZZLES_LARGE_CODE)
target_compile_options(nozzles-game-large PRIVATE $<$<COMPILE_LANGUAGE:CXX>:${NOZZLES_WARNINGS}>)
target_link_options(nozzles-game-large PRIVATE ${NOZZLES_STATIC_RUNTIME})
target_link_libraries(nozzles-game-large PRIVATE ScriptHookV psapi)

# The game's next version (sim/game_functions.S says what changes), for the
# end-to-end test of carrying the signatures across an update.
add_executable(nozzles-game-next ${NOZZLES_GAME_SOURCES})
target_include_directories(nozzles-game-next PRIVATE src sim)
target_compile_definitions(nozzles-game-next PRIVATE NOZZLES_NEXT_VERSION)
target_compile_options(nozzles-game-next PRIVATE $<$<COMPILE_LANGUAGE:CXX>:${NOZZLES_WARNINGS}>)
target_link_options(nozzles-game-next PRIVATE ${NOZZLES_STATIC_RUNTIME})
target_link_libraries(nozzles-game-next PRIVATE ScriptHookV psapi)

# The version after that, which the tools are never shown: the end-to-end
# test flies the plug-in built with the header written for the next version in it.
add_executable(nozzles-game-third ${NOZZLES_GAME_SOURCES})
target_include_directories(nozzles-game-third PRIVATE src sim)
target_compile_definitions(nozzles-game-third PRIVATE NOZZLES_NEXT_VERSION NOZZLES_THIRD_VERSION)
target_compile_options(nozzles-game-third PRIVATE $<$<COMPILE_LANGUAGE:CXX>:${NOZZLES_WARNINGS}>)
target_link_options(nozzles-game-third PRIVATE ${NOZZLES_STATIC_RUNTIME})
target_link_libraries(nozzles-game-third PRIVATE ScriptHookV psapi)

# Plug-ins built with a header of a test's: the one nozzles-sigcheck writes
# for the next version (next-signatures/memory/), one whose set for
# getpropstate disagrees with itself (tie-signatures/memory/), and, for
# `make bench`, one whose sets of seven for getpropstate and setpropstate
# find nothing (sets-signatures/memory/). Each puts its header there before
# it builds the target.
foreach(variant next tie sets)
    add_library(Nozzles-${variant} MODULE EXCLUDE_FROM_ALL ${NOZZLES_CORE_SOURCES} src/plugin/entry.cpp
        src/platform/platform_windows.cpp)
    set_target_properties(Nozzles-${variant} PROPERTIES PREFIX "" SUFFIX ".asi" OUTPUT_NAME Nozzles-${variant})
    target_include_directories(Nozzles-${variant} PRIVATE ${CMAKE_BINARY_DIR}/${variant}-signatures src
        ${CMAKE_BINARY_DIR}/generated)
    target_compile_options(Nozzles-${variant} PRIVATE ${NOZZLES_PLUGIN_OPTIMISE} ${NOZZLES_WARNINGS}
        ${NOZZLES_GUEST_FLAGS} -ffunction-sections -fdata-sections)
    add_dependencies(Nozzles-${variant} hook_imports)
    target_link_options(Nozzles-${variant} PRIVATE ${NOZZLES_STATIC_RUNTIME} -Wl,--gc-sections
        -Wl,--entry=pluginEntryPoint -Wl,--exclude-all-symbols)
    target_link_libraries(Nozzles-${variant} PRIVATE ${HOOK_IMPORT_LIB})
endforeach()

include(${CMAKE_SOURCE_DIR}/tests/e2e/e2e.cmake)
