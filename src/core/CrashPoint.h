#pragma once

// Named places where a power cut hurts most (an exposure half written, a file renamed
// but its row not yet committed). When the environment variable CALVAREX_CRASH_AT names
// the place ("name", or "name:n" for the n-th time it is reached), the process is killed
// there at once (SIGKILL, as a power cut leaves it), so the recovery at the next start
// is tried at exactly that moment. Without the variable this costs one comparison.
namespace CrashPoint {
void reached(const char *name);
}
