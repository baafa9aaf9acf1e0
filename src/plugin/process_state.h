// The plug-in's state that outlives a run lives with its owners: the log and
// its message block, the settings, the time of the last run and the located
// game functions. Each owner keeps a reset beside its state; this one calls
// them all, giving a fresh process's state (the game never needs it: tests do).
#pragma once

namespace plugin {

void resetProcessState();

}  // namespace plugin
