#pragma once

namespace dicom {

// Registers the toolkit's decoders for the compressed transfer syntaxes it can read
// (JPEG baseline, extended and lossless, JPEG-LS, RLE, JPEG 2000) exactly once per process; safe to
// call from any thread, and cheap after the first call.
void ensureCodecs();
} // namespace dicom
