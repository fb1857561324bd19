#pragma once

// What both programs do first, and the runtime they leave out.
namespace Startup {

// From here on, every DLL that the program or Windows on its behalf loads by name comes from
// the system folder alone. False when Windows did not allow it.
bool TakeDllsFromSystemFolderOnly();

} // namespace Startup
