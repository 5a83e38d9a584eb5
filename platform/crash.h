// The last words of a crashing program: whatever ends it unexpectedly (an unhandled C++
// exception; on Windows any unhandled structured exception, on POSIX a fatal signal) is told to
// a callback once, and the process then ends with a chosen exit code instead of one a script
// might read as an answer.
#pragma once

namespace tarvo::platform {

// `last_words` gets a short description of the crash; it runs once, on a stack of its own where
// the platform allows, and should only write a line somewhere. Installs for the whole process.
void InstallCrashHandler(void (*last_words)(const char* what), int exit_code);

}  // namespace tarvo::platform
