#pragma once

// The names the desktop program and the command-line client share, so that both find the same
// per-user settings, data folder and saved login.
namespace ProgramIdentity {

// Call once, right after the application object exists.
void apply();

} // namespace ProgramIdentity
