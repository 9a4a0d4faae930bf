#pragma once

// What `--forget` does, and the Windows uninstaller through it: removes everything the program
// keeps for the user outside its working folder.
namespace ForgetEverything {

// Runs its own event loop until the keychain answered or its wait ended; the exit status.
int run();

} // namespace ForgetEverything
