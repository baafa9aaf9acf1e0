#pragma once

namespace plugin {

// The script the hook runs: opens the log, reads the settings, then runs the
// controller once per frame for as long as the hook resumes it.
void scriptMain();

// What scriptMain does before its loop, and one turn of the loop.
void scriptStart();
void scriptFrame();

}  // namespace plugin
