#pragma once

// Registers the compiled-in resources (":/Lectern/Resources/...") of the static shell library.
// Call once before the first resource is used.
void LecternInitResources();
