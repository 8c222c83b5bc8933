#pragma once

#include <functional>

// Ends the process at once with exit code 0 (failed live-video start, forced offline). Tests put
// a hook in its place so that the ending can be observed instead of taking the test down.
void EndProcess();
void SetEndProcessHook(std::function<void()> hook); // null restores the real ending
