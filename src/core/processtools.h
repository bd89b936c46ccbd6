#pragma once

namespace ProcessTools {

// Starts the client's start script from the installation directory as a detached process
// that outlives the updater. A failed start goes unnoticed: the window closes anyway.
void startQv3Client();

}
