#pragma once

namespace dicom {

// Sets the toolkit's network up for the station's associations: small messages (a
// C-STORE response, the next command) go out at once instead of waiting for the
// acknowledgement of what went before, which otherwise costs about 40 ms per object on
// a sequence of large objects. A TCP_NODELAY set in the environment is left as it is.
// Runs once per process; call it before the first association, while the process has
// one thread, or at least before other threads use the network.
void prepareNetwork();

} // namespace dicom
