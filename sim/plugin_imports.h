// What the stand-in game does to the plug-in's import table after loading
// it: the clock import points at the simulated clock, and the C runtime's
// output functions at wrappers that keep bytes buffered until an explicit
// flush, as Windows' C runtime does (Wine's writes a line out by itself when
// fputc meets a line break), while counting what was never flushed.
#pragma once

#include <windows.h>

#include <cstddef>

namespace sim {

// Points the module's import of DLL!NAME at `replacement`; false when the
// module does not import it.
bool patchImport(HMODULE module, const char* dll, const char* name, const void* replacement);

// Wraps the plug-in's imports of fwrite, vfprintf, fflush, _fsopen and
// fclose: what it writes and opens its files with, and the C runtime's own
// messages.
void watchOutput(HMODULE module);

// Notes, to the file at `path`, every call the plug-in makes through any of
// its imports while a phase is set: a line "PHASE DLL!NAME" each, written
// with WriteFile alone. watchImportCalls routes the module's import slots, as
// they stand (after watchOutput), through thunks that do that.
bool noteImportCallsTo(const char* path);
void watchImportCalls(HMODULE module);
// "FreeLibrary" or "ExitProcess" while the game does that; null: nothing is noted.
void setImportCallPhase(const char* phase);

// Streams the plug-in has opened and not closed.
std::size_t openFiles();

// Bytes the plug-in has handed to a stream and not flushed since.
std::size_t unflushedOutput();

}  // namespace sim
